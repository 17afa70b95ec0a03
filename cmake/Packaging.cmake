# A Debian package: cpack -G DEB in the build folder writes harrowbit_<version>_<arch>.deb,
# whose run-time library dependencies dpkg-shlibdeps finds.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME harrowbit)
set(CPACK_PACKAGE_VENDOR "The Harrowbit developers")
set(CPACK_PACKAGE_CONTACT "The Harrowbit developers <harrowbit@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check Ogg Vorbis files for damage")
set(CPACK_PACKAGE_DESCRIPTION
    "Harrowbit decodes every Ogg Vorbis file in a folder completely and reports, file by\n"
    "file, whether it decoded cleanly or where and how decoding failed. It has a window\n"
    "and a command-line tool for large libraries and scripts. It never changes a file.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
