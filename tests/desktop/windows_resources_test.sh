#!/usr/bin/env bash
# Compiles the Windows resource script with the MinGW resource compiler and checks what
# a Windows build would carry: the dialog's styles, the icon group, the manifest and the
# version record. The build writes the script and the manifest with the project's
# version into its own folder; the icon and the ids stay in the sources.
set -euo pipefail
windows=$1
sources=$2
version=$3
IFS=. read -r major minor patch tweak <<<"$version"
four="$major, $minor, ${patch:-0}, ${tweak:-0}"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
windres=x86_64-w64-mingw32-windres
# The MinGW headers, read by the host's preprocessor: no cross compiler needed.
"$windres" --preprocessor=cpp --preprocessor-arg=-D_WIN32 --preprocessor-arg=-D_WIN64 \
  --preprocessor-arg=-I/usr/share/mingw-w64/include \
  --preprocessor-arg=-include --preprocessor-arg=winapifamily.h \
  -I "$windows" -I "$sources" "$windows/harrowbit.rc" -O res -o "$out/harrowbit.res"
"$windres" -i "$out/harrowbit.res" -O rc -o "$out/decompiled.rc"

fail=0
expect() {
  grep -qF -- "$1" "$out/decompiled.rc" || { echo "missing: $1"; fail=1; }
}
expect 'LANGUAGE 9, 2'
expect '102 DIALOGEX MOVEABLE PURE DISCARDABLE 0, 0, 400, 249'
expect 'STYLE 0x90cf0040'
expect 'EXSTYLE 0x40000'
expect 'CAPTION "Harrowbit"'
expect 'FONT 8, "MS Sans Serif"'
expect 'DEFPUSHBUTTON "Start", 1, 287, 229, 50, 13, 0x50010001'
expect 'PUSHBUTTON "Close", 2, 343, 229, 50, 13, 0x50010000'
expect 'EDITTEXT 1004, 7, 7, 329, 13, 0x50800881'
expect 'PUSHBUTTON "Browse", 1005, 343, 7, 50, 13, 0x50010000'
expect 'EDITTEXT 1006, 7, 27, 386, 196, 0x50a008c4'
expect 'CONTROL "Progress1", 1007, "MSCTLS_PROGRESS32", 0x50800001, 7, 229, 273, 13'
# The icon group: 16 and 32 pixels, 16 colours, 4 bits per pixel.
expect '128 14 /* RT_GROUP_ICON */'
expect '"\020\020\020\000", 1, 4,'
expect '"\040\040\020\000", 1, 4,'
expect '1 24 /* RT_MANIFEST */'
expect "FILEVERSION $four"
expect "PRODUCTVERSION $four"
expect 'FILEFLAGSMASK 0x3f'
expect 'FILEFLAGS 0x20'
expect 'FILEOS 0x4'
expect 'FILETYPE 0x1'
expect 'BLOCK "080904b0"'
expect 'VALUE "Translation", 0x809, 1200'
for name in FileDescription InternalName OriginalFilename ProductName; do
  expect "VALUE \"$name\", \"Harrowbit\""
done
expect "VALUE \"FileVersion\", \"$version\""
expect "VALUE \"ProductVersion\", \"$version\""
expect 'VALUE "SpecialBuild", "Unicode"'
expect 'VALUE "LegalTrademarks", ""'
expect 'VALUE "PrivateBuild", ""'
for name in CompanyName LegalCopyright Comments; do
  grep -qE "VALUE \"$name\", \".+\"" "$out/decompiled.rc" || { echo "empty: $name"; fail=1; }
done
# The manifest travels as the file itself.
manifest=$windows/harrowbit.manifest
for text in 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' \
            'publicKeyToken="6595b64144ccf1df" language="*"' \
            "<assemblyIdentity version=\"${four//, /.}\" processorArchitecture=\"amd64\"" \
            '<description>Harrowbit</description>'; do
  grep -qF -- "$text" "$manifest" || { echo "manifest lacks: $text"; fail=1; }
done
grep -qE 'name="[A-Za-z]+\.Harrowbit\.Harrowbit" type="win32"' "$manifest" ||
  { echo "manifest: three-part name ending in Harrowbit.Harrowbit"; fail=1; }
exit $fail
