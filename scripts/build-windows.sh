#!/usr/bin/env bash
# Cross-builds Harrowbit's Windows (x86-64) targets into build-windows/ with MinGW-w64.
# Installs the cross compiler and Wine if missing, builds libogg, libvorbis, libopus,
# opusfile, libFLAC, SQLite and GoogleTest as static libraries from Debian's own source
# packages into build-windows/deps (once: a rerun finds them there), then configures and
# builds.
# Extra arguments go to the configure step. Safe to run again.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
out=$root/build-windows
deps=$out/deps
toolchain=$root/cmake/mingw-w64-x86_64.cmake
jobs=${HARROWBIT_JOBS:-$(nproc)}

# tclsh makes SQLite's amalgamation; googletest brings GoogleTest's sources; nsis makes
# the installer.
packages=(g++-mingw-w64-x86-64-posix wine64 wine tcl dpkg-dev cmake ninja-build pkg-config
          build-essential googletest debian-archive-keyring ca-certificates nsis ccache)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  # Other builds on the machine may hold apt's lock for a while.
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
fi

build_deps() {
  rm -rf "$deps" "$out/src"
  mkdir -p "$deps" "$out/src" "$out/apt/sources.list.d" "$out/apt/lists/partial" \
    "$out/apt/cache/archives/partial"
  # A private apt configuration with Debian's source index: the system's own sources stay
  # untouched. apt checks the index's signature against Debian's archive key and each
  # downloaded file (.dsc and tarballs) against the index's SHA-256 sums.
  cat >"$out/apt/sources.list.d/debian-src.sources" <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  local apt=(apt-get -q -o Dir::Etc::sourcelist=/dev/null
             -o Dir::Etc::sourceparts="$out/apt/sources.list.d"
             -o Dir::State::lists="$out/apt/lists" -o Dir::Cache="$out/apt/cache"
             -o APT::Sandbox::User=root)
  "${apt[@]}" update >/dev/null
  (cd "$out/src" &&
     "${apt[@]}" source --download-only libogg libvorbis opus opusfile flac sqlite3 xxhash >/dev/null)
  # dpkg-source checks every file the .dsc names against its checksums (a tarball that
  # differs by one byte stops it) and refuses a .dsc with only MD5; it applies Debian's
  # patches. The uploader's signature on the .dsc cannot be checked without the
  # debian-keyring package; the .dsc's own checksum, checked by apt against the signed
  # index, vouches for it instead.
  local dsc
  for dsc in "$out"/src/*.dsc; do
    if ! (cd "$out/src" && dpkg-source --require-strong-checksums -x "$(basename "$dsc")") \
        >"$out/src/unpack.log" 2>&1; then
      cat "$out/src/unpack.log" >&2
      return 1
    fi
  done

  local cmake_common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
                      -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_SHARED_LIBS=OFF
                      -DCMAKE_PREFIX_PATH="$deps" -DHARROWBIT_WINDOWS_DEPS="$deps")
  local lib
  for lib in libogg libvorbis; do
    local dir
    dir=$(echo "$out"/src/$lib-*/)
    cmake -S "$dir" -B "$out/src/build-$lib" "${cmake_common[@]}" -DINSTALL_DOCS=OFF \
      -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$out/src/build-$lib" -j "$jobs" --target install >/dev/null
  done

  # libopus and opusfile by their own configure scripts: Debian's opus tarball lacks a
  # file its CMake build includes, and opusfile has no other build. No URL streaming.
  # Without the stack protector and _FORTIFY_SOURCE, as libogg and libvorbis are built:
  # MinGW keeps their checks in libssp, whose start asks Windows' crypto provider for the
  # canary, and under Wine that loads user32 into every process, about 50 ms of each start.
  local host=(--host=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix --prefix="$deps"
              --enable-static --disable-shared --disable-doc)
  mkdir -p "$out/src/build-opus" "$out/src/build-opusfile"
  (cd "$out/src/build-opus" && "$(echo "$out"/src/opus-*/)configure" "${host[@]}" \
     --disable-extra-programs --disable-stack-protector CPPFLAGS=-D_FORTIFY_SOURCE=0 \
     >/dev/null && make -s -j "$jobs" install >/dev/null)
  (cd "$out/src/build-opusfile" &&
     PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" PKG_CONFIG_PATH="" \
       "$(echo "$out"/src/opusfile-*/)configure" "${host[@]}" --disable-examples \
       --disable-http >/dev/null && make -s -j "$jobs" install >/dev/null)
  # libFLAC alone, with Ogg: not its programs, its C++ library or its documents.
  cmake -S "$(echo "$out"/src/flac-*/)" -B "$out/src/build-flac" "${cmake_common[@]}" \
    -DWITH_OGG=ON -DBUILD_CXXLIBS=OFF -DBUILD_PROGRAMS=OFF -DBUILD_EXAMPLES=OFF \
    -DBUILD_TESTING=OFF -DBUILD_DOCS=OFF -DINSTALL_MANPAGES=OFF -DWITH_STACK_PROTECTOR=OFF \
    -DWITH_FORTIFY_SOURCE=OFF >/dev/null
  cmake --build "$out/src/build-flac" -j "$jobs" --target install >/dev/null

  # SQLite's amalgamation is made by its own build on this machine (tclsh), then compiled
  # for Windows as one file.
  local sqlite
  sqlite=$(echo "$out"/src/sqlite3-*/)
  mkdir -p "$out/src/build-sqlite"
  (cd "$out/src/build-sqlite" && "$sqlite/configure" --disable-tcl >/dev/null &&
     make -s sqlite3.c sqlite3.h >/dev/null 2>&1)
  local sqlite_version
  sqlite_version=$(cat "$sqlite/VERSION")
  x86_64-w64-mingw32-gcc-posix -O2 -c "$out/src/build-sqlite/sqlite3.c" -o "$out/src/sqlite3.o" \
    -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION
  mkdir -p "$deps/lib/pkgconfig" "$deps/include"
  x86_64-w64-mingw32-ar rcs "$deps/lib/libsqlite3.a" "$out/src/sqlite3.o"
  cp "$out/src/build-sqlite/sqlite3.h" "$deps/include/"
  cat >"$deps/lib/pkgconfig/sqlite3.pc" <<EOF
prefix=$deps
Name: SQLite
Description: SQL database engine (Debian source, static, MinGW-w64)
Version: $sqlite_version
Libs: -L\${prefix}/lib -lsqlite3
Cflags: -I\${prefix}/include
EOF

  # xxHash is built in from its header alone (XXH_INLINE_ALL): the header is all it needs.
  install -D -m 644 "$(echo "$out"/src/xxhash-*/)xxhash.h" "$deps/include/xxhash.h"

  # GoogleTest from Debian's googletest package, for the test programs.
  cmake -S /usr/src/googletest -B "$out/src/build-gtest" "${cmake_common[@]}" \
    -DINSTALL_GTEST=ON -DBUILD_GMOCK=OFF -Dgtest_disable_pthreads=OFF >/dev/null
  cmake --build "$out/src/build-gtest" -j "$jobs" --target install >/dev/null

  rm -rf "$out/src/build-"*
  touch "$stamp"
}

# What the cached libraries were built from: another recipe or toolchain builds them anew.
recipe=$( (cat "$toolchain"; declare -f build_deps) | sha256sum | cut -c1-16)
stamp=$deps/.built-$recipe
if [ ! -e "$stamp" ]; then
  echo "Building libogg, libvorbis, libopus, opusfile, libFLAC, SQLite and GoogleTest" \
    "for Windows into $deps"
  build_deps
fi

# ccache shares compiled objects between builds and worktrees.
cmake -S . -B "$out" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHARROWBIT_WINDOWS_DEPS="$deps" \
  -DCMAKE_PREFIX_PATH="$deps" -DHARROWBIT_BUILD_UI=OFF \
  "$@" >/dev/null
cmake --build "$out" -j "$jobs"

# What a user downloads: the programs and their installer, side by side in dist/. The CLI
# is taken wherever its build put it; the installer takes whichever programs are there.
mkdir -p "$out/dist"
cli=$(find "$out" -name harrowbit-cli.exe -not -path "$out/dist/*" -not -path "$out/wineprefix/*" \
        -print -quit)
[ -z "$cli" ] || cp "$cli" "$out/dist/"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/CMakeCache.txt")
makensis -V2 -DVERSION="$version" -DDIST="$out/dist" -DSOURCE="$root" \
  -DOUTFILE="$out/dist/harrowbit-$version-setup.exe" data/windows/harrowbit.nsi
