# Cross-builds for 64-bit Windows with Debian's MinGW-w64 GCC. The -posix variant is named
# outright: it has std::thread, the -win32 one does not, and update-alternatives may point
# the plain names at either.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
# HARROWBIT_WINDOWS_DEPS: the prefix scripts/build-windows.sh builds libogg, libvorbis,
# SQLite and GoogleTest into; searched before the cross root.
if(HARROWBIT_WINDOWS_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${HARROWBIT_WINDOWS_DEPS})
  set(ENV{PKG_CONFIG_LIBDIR} ${HARROWBIT_WINDOWS_DEPS}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Nothing but the .exe: the C and C++ runtimes and winpthreads go inside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Tests run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
