# A Debian package: cpack -G DEB in the build folder writes harrowbit_<version>_<arch>.deb,
# whose run-time library dependencies dpkg-shlibdeps finds.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME harrowbit)
set(CPACK_PACKAGE_VENDOR "The Harrowbit developers")
# The maintainer is set in data/, which writes it into the changelog too.
set(CPACK_PACKAGE_CONTACT "${HARROWBIT_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check Ogg Vorbis files for damage")
# Lines under 80 columns, as Debian wants them (CONCAT: set() would join them with ';').
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Harrowbit decodes every Ogg Vorbis file in a folder completely and reports,\n"
    "file by file, whether it decoded cleanly or where and how decoding failed.\n"
    "It has a window and a command-line tool for large libraries and scripts.\n"
    "It never changes a file.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The beets plugin is a Python module; beets itself is only suggested.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3:any")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "beets")
set(CPACK_STRIP_FILES ON)
# Folders 0755 whatever the umask of the build (files get 0644 or 0755 from install()).
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
