#!/usr/bin/env bash
# Installs what the build needs on Debian (only what is missing), then configures and
# builds into build/. Sourced by demo.sh and test.sh; safe to run again.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

packages=(build-essential cmake ninja-build pkg-config libvorbis-dev libogg-dev libopusfile-dev
          libsqlite3-dev sqlite3 libgtest-dev qt6-base-dev xvfb xauth x11-utils xdotool imagemagick openbox
          python3 dpkg-dev desktop-file-utils appstream systemd parallel vorbis-tools
          binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev)
# What every desktop has, and what the window meets there: the accessibility bus and a
# session bus started through X11.
packages+=(at-spi2-core dbus-x11)
# Opus and FLAC in Ogg: the checks' libraries, the generator's encoders, the peers the
# tests compare verdicts with, and the beets the plugin is tested against.
packages+=(libopusfile-dev libopusenc-dev libflac-dev opus-tools flac speex beets)
# The audio hash (XXH3-128), built in from xxHash's header.
packages+=(libxxhash-dev)
# test.sh's fuzz targets: clang and its libFuzzer and sanitizer runtimes.
packages+=(clang libclang-rt-14-dev clang-format)
# The decoder helper's seccomp filter.
packages+=(libseccomp-dev)
# Debian's own checker of the package that cpack makes.
packages+=(lintian)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
