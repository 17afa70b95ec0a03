#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks that every file is in place and
# that the programs installed there run; then builds the Debian package and checks what
# it holds and needs.
set -euo pipefail
build=$1
version=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

fail=0
have() { [ -e "$prefix/$1" ] || { echo "not installed: $1"; fail=1; }; }
have bin/harrowbit-cli
have share/applications/org.harrowbit.Harrowbit.desktop
have share/metainfo/org.harrowbit.Harrowbit.metainfo.xml
have share/icons/hicolor/16x16/apps/org.harrowbit.Harrowbit.png
have share/icons/hicolor/32x32/apps/org.harrowbit.Harrowbit.png
have share/icons/hicolor/scalable/apps/org.harrowbit.Harrowbit.svg
have share/man/man1/harrowbit-cli.1.gz
have share/man/man1/harrowbit.1.gz
have share/doc/harrowbit/copyright
have share/doc/harrowbit/changelog.gz
have lib/systemd/user/harrowbit-scrub@.service
have lib/systemd/user/harrowbit-scrub@.timer
have lib/python3/dist-packages/beetsplug/harrowbit.py
# The unit starts the CLI where this install put it, whatever the prefix.
grep -qx "ExecStart=$prefix/bin/harrowbit-cli .*" "$prefix/lib/systemd/user/harrowbit-scrub@.service" ||
  { echo "the installed unit does not start $prefix/bin/harrowbit-cli"; fail=1; }
# Every installed file that names the version names the project's.
names_version() { zcat -f "$prefix/$1" | grep -qF -- "$2" || { echo "$1 lacks: $2"; fail=1; }; }
names_version share/metainfo/org.harrowbit.Harrowbit.metainfo.xml "<release version=\"$version\""
names_version share/doc/harrowbit/changelog.gz "harrowbit ($version)"
names_version share/man/man1/harrowbit-cli.1.gz "\"Harrowbit $version\""
names_version share/man/man1/harrowbit.1.gz "\"Harrowbit $version\""
[ "$("$prefix/bin/harrowbit-cli" --version)" = "harrowbit-cli $version" ] || { echo "cli version"; fail=1; }
window=false
if [ -e "$build/app/harrowbit" ]; then
  window=true
  have bin/harrowbit
  have libexec/harrowbit/harrowbit-decoder
  [ "$("$prefix/bin/harrowbit" --version)" = "harrowbit $version" ] || { echo "window version"; fail=1; }
fi
# The installed CLI decodes in a helper: itself, from where it is installed.
"$prefix/bin/harrowbit-cli" "$prefix" >/dev/null || { echo "installed cli failed"; fail=1; }

packages=$(mktemp -d)
trap 'rm -rf "$prefix" "$packages"' EXIT
(cd "$build" && cpack -G DEB -B "$packages" >/dev/null)
deb=$(ls "$packages"/harrowbit_"$version"_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
libs="libvorbisfile3 libsqlite3-0 libc6"
files="./usr/bin/harrowbit-cli ./usr/share/applications/org.harrowbit.Harrowbit.desktop
       ./usr/share/metainfo/org.harrowbit.Harrowbit.metainfo.xml
       ./usr/share/icons/hicolor/scalable/apps/org.harrowbit.Harrowbit.svg
       ./usr/share/man/man1/harrowbit-cli.1.gz ./usr/share/man/man1/harrowbit.1.gz
       ./usr/share/doc/harrowbit/copyright ./usr/share/doc/harrowbit/changelog.gz
       ./usr/lib/systemd/user/harrowbit-scrub@.service ./usr/lib/systemd/user/harrowbit-scrub@.timer
       ./usr/lib/python3/dist-packages/beetsplug/harrowbit.py"
if $window; then
  libs="$libs libqt6widgets6"
  files="$files ./usr/bin/harrowbit ./usr/libexec/harrowbit/harrowbit-decoder"
fi
for lib in $libs; do
  case "$depends" in *"$lib"*) ;; *) echo "package does not depend on $lib: $depends"; fail=1 ;; esac
done
contents=$(dpkg-deb -c "$deb")
for f in $files; do
  case "$contents" in *" $f"*) ;; *) echo "package lacks $f"; fail=1 ;; esac
done
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/systemd/user/harrowbit-scrub@.service |
  grep -qx "ExecStart=/usr/bin/harrowbit-cli .*" || { echo "the packaged unit does not start /usr/bin/harrowbit-cli"; fail=1; }
exit $fail
