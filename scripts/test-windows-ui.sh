#!/usr/bin/env bash
# The Windows window and its installer under Wine, on an X server of its own (Xvfb) with a
# window manager (openbox), as a user meets them: harrowbit.exe started idle and with a
# folder, paused, continued, cancelled, resized, dropped on, closed; then the installer
# silently in and out. State is read from the controls by tests/winui/probe.cpp, never from
# pixels; two screenshots are kept in build-windows/ui-shots/ for a person to look at.
# Needs scripts/build-windows.sh's outputs and the Linux test-file generator
# (HARROWBIT_GEN, by default build/tests/gen/harrowbit-gen). About a minute.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
mode=${1:-}
if [ "$mode" != --on-display ] && [ "$mode" != --dpi-on-display ]; then
  exec scripts/own-x-display.sh 1024x768x24 "$0" --on-display
fi
out=$root/build-windows
exe=$out/dist/harrowbit.exe
probe=$out/tests/winui/harrowbit-probe.exe
gen=${HARROWBIT_GEN:-$root/build/tests/gen/harrowbit-gen}
setup=$(ls "$out"/dist/harrowbit-*-setup.exe)
shots=$out/ui-shots
mkdir -p "$shots"
tmp=$(mktemp -d)
export WINEPREFIX=$out/wineprefix-ui WINEARCH=win64 WINEDEBUG=-all
# The scene at 192 DPI has a prefix of its own: the DPI is the prefix's setting.
[ "$mode" = --on-display ] || WINEPREFIX=$out/wineprefix-dpi
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
openbox >/dev/null 2>&1 &
wm=$!
app=""
cleanup() {
  [ -z "$app" ] || kill "$app" 2>/dev/null || true
  timeout -k 5 20 wineserver -k 2>/dev/null || true
  kill "$wm" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
if [ ! -e "$WINEPREFIX/system.reg" ]; then
  echo "Making the Wine prefix $WINEPREFIX"
  timeout -k 5 180 wineboot --init >/dev/null 2>&1
fi
timeout -k 5 20 wineserver -p 2>/dev/null || true

# From here on a failed check is counted, and the run goes on to the next.
set +e
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
# Every Wine start is bounded: a hung program fails its scene instead of the run.
probe() { timeout -k 5 90 wine "$probe" "$@"; }
winpath() { local p=${1//\//\\}; echo "Z:$p"; }
start_app() {
  timeout -k 5 240 wine "$exe" "$@" >/dev/null 2>&1 &
  app=$!
  probe find 20000 || { fail "the window did not open"; return 1; }
}
# Waits for the process too: the window gone and the program ended.
closed() {
  probe gone 10000 && { timeout 20 tail --pid="$app" -f /dev/null || true; app=""; }
}
field() { sed -n "s/^$1=//p" "$2"; }
rects() { grep '^control\.' "$1" | sed 's/ class=.*rect=/ /'; }

# 192 DPI (Windows' 200 %) on a 640 x 480 screen: the window opens inside the screen with
# every control on it, laid out from the template at that DPI; a screenshot is kept.
if [ "$mode" = --dpi-on-display ]; then
  echo "== 192 DPI on a 640 x 480 screen"
  timeout -k 5 60 wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 192 /f \
    >/dev/null 2>&1
  timeout -k 5 60 wine reg add 'HKCC\Software\Fonts' /v LogPixels /t REG_DWORD /d 192 /f \
    >/dev/null 2>&1
  timeout -k 5 20 wineserver -k 2>/dev/null || true
  timeout -k 5 20 wineserver -p 2>/dev/null || true
  start_app
  # Laid out once it has been fitted to the screen at that DPI.
  probe wait-layout 30000 + dump >"$tmp/dpi"
  cat "$tmp/dpi" | grep -E '^(dpi|window|workarea|control)'
  [ "$(field dpi "$tmp/dpi")" = 192 ] && pass "the window is at 192 DPI" || fail "dpi $(field dpi "$tmp/dpi")"
  read -r wx wy ww wh < <(field window "$tmp/dpi" | tr ',x' '  ')
  read -r ax ay aw ah < <(field workarea "$tmp/dpi" | tr ',x' '  ')
  [ "$wx" -ge "$ax" ] && [ "$wy" -ge "$ay" ] && [ $((wx + ww)) -le $((ax + aw)) ] &&
    [ $((wy + wh)) -le $((ay + ah)) ] && pass "inside the work area" ||
    fail "window at $wx,$wy ${ww}x$wh in a work area of ${aw}x$ah"
  off=0
  while read -r id x y cx cy; do
    # Client coordinates: the frame lies around them, inside the window.
    if [ "$x" -lt 0 ] || [ "$y" -lt 0 ] || [ "$cx" -le 0 ] || [ "$cy" -le 0 ] ||
       [ $((x + cx)) -gt "$ww" ] || [ $((y + cy)) -gt "$wh" ]; then
      echo "control $id at $x,$y ${cx}x$cy"
      off=1
    fi
  done < <(rects "$tmp/dpi" | sed 's/^control\.//; s/[,x]/ /g')
  [ "$off" = 0 ] && pass "every control on the screen, whole" || fail "a control off the screen"
  probe layout >"$tmp/dpi-layout" && pass "controls where the template puts them at 192 DPI" ||
    { cat "$tmp/dpi-layout"; fail "layout at 192 DPI"; }
  import -window root "$shots/dpi-192-640x480.png"
  probe close
  closed || fail "close at 192 DPI"
  exit "$((failures != 0))"
fi

# Test files from the project's generator: a demo library (clean and damaged files, in a
# folder whose name has a blank), and a folder long enough to pause and cancel.
"$gen" demo "$tmp/my music" >/dev/null
mkdir -p "$tmp/long"
for i in $(seq -w 1 120); do ln "$tmp/my music/long-60s.ogg" "$tmp/long/take-$i.ogg"; done
cc -O2 -o "$tmp/xdnd-drop" tests/winui/xdnd_drop.c -lX11
drop() {
  local w x y
  w=$(xdotool search --name '^Harrowbit$' | head -1)
  eval "$(xdotool getwindowgeometry --shell "$w" | sed 's/^/local /')"
  timeout -k 2 15 "$tmp/xdnd-drop" "$w" $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) "$@"
}

echo "== The window opens idle, from the template"
start_app
probe dump >"$tmp/idle"
[ "$(field title "$tmp/idle")" = Harrowbit ] && pass "title Harrowbit" || fail "title"
[ "$(field start "$tmp/idle")/$(field close "$tmp/idle")" = Start/Close ] &&
  pass "captions Start and Close" || fail "captions $(field start "$tmp/idle")/$(field close "$tmp/idle")"
[ -z "$(field path "$tmp/idle")" ] && [ "$(sed -n '/^log<</,/^>>log/p' "$tmp/idle" | wc -l)" -eq 3 ] &&
  pass "empty path field and log pane" || fail "path field or log pane not empty"
[ "$(field focus "$tmp/idle")" = 1 ] && pass "focus on Start" || fail "focus on $(field focus "$tmp/idle")"
grep -q '^control.1007 class=msctls_progress32 ' "$tmp/idle" && pass "the progress bar is msctls_progress32" ||
  fail "progress bar class"
grep -q '^control.1004 class=Edit style=0x5.0008.1 ' "$tmp/idle" &&
  pass "path field read-only, centred, no tab stop" || fail "path field style"
read -r wx wy ww wh < <(field window "$tmp/idle" | tr ',x' '  ')
read -r ax ay aw ah < <(field workarea "$tmp/idle" | tr ',x' '  ')
if [ $((ax + (aw - ww) / 2 - wx)) -le 1 ] && [ $((wx - ax - (aw - ww) / 2)) -le 1 ] &&
   [ $((ay + (ah - wh) / 2 - wy)) -le 1 ] && [ $((wy - ay - (ah - wh) / 2)) -le 1 ]; then
  pass "opens centred"
else
  fail "window at $wx,$wy ${ww}x$wh in a work area of ${aw}x$ah"
fi
probe layout >"$tmp/layout" && pass "controls where the template puts them" || { cat "$tmp/layout"; fail "layout"; }
icons=$(xprop -id "$(xdotool search --name '^Harrowbit$' | head -1)" _NET_WM_ICON | grep -c 'Icon (' || true)
[ "$icons" -ge 2 ] && pass "the window carries its icon ($icons sizes)" || fail "icon: $icons sizes"
probe browse 15000 >"$tmp/browse" || true
grep -qx 'text=Choose a folder to scan for ogg files:' "$tmp/browse" &&
  pass "Browse opens the shell's folder browser with its title" || { cat "$tmp/browse"; fail "folder browser"; }
probe wait-text 1004 "" 2000 && pass "a cancelled browse leaves the path field" || fail "path field after cancel"
# Wine's folder browser has no edit box and its tree takes no typed path from another
# process, so choosing a folder is not driven here: Start is tried with the field empty.
# Nothing is to happen: the pause is the time given to a mistake to show, not a wait.
probe click 1 + sleep 500 + dump >"$tmp/nostart"
[ "$(field start "$tmp/nostart")/$(field close "$tmp/nostart")" = Start/Close ] &&
  [ "$(sed -n '/^log<</,/^>>log/p' "$tmp/nostart" | wc -l)" -eq 3 ] &&
  pass "Start with an empty path field does nothing" || fail "Start with an empty path field"
drop "$tmp/my music/damaged" "$tmp/my music/notes.txt" "$tmp/my music/LOUD.OGG" &&
  probe wait-log "14 files, 10 errors" 30000 + wait-text 1 Start 10000 &&
  pass "a drop on the idle window starts a check of what it holds" || fail "drop while idle"
probe find 5000 + esc
closed && pass "Esc closes the idle window" || fail "Esc did not close the idle window"

echo "== Started with a folder on its command line"
# Wine quotes the path, which has a blank, as the shell's "Open with" does: the window
# removes the quotes.
start_app "$(winpath "$tmp/my music")"
probe wait-log "20 files, 10 errors [1,4,5,6,7,8,9,11,12,13]" 60000 + wait-text 1 Start 10000 \
  + dump >"$tmp/report" && pass "report and summary" || fail "no summary for the demo folder"
lines=$(grep -cE '^\[[0-9]+/20\]	Z:.*my music.*\.\.\.(OK|ERROR \(.+\))$' "$tmp/report" || true)
[ "$lines" -eq 20 ] && pass "a line per file, OK or ERROR" || fail "$lines report lines of 20"
import -window root "$shots/report.png"
before=$(rects "$tmp/report")
probe size 1000 700 + layout >/dev/null && pass "grown: controls follow their anchors" || fail "grown layout"
probe size 100 100 + dump >"$tmp/small"
[ "$(field window "$tmp/small" | sed 's/.* //')" = 320x240 ] && pass "stops at 320 x 240" ||
  fail "smallest window $(field window "$tmp/small")"
probe layout >/dev/null && pass "deep shrink: template plus growth" || fail "deep-shrink layout"
probe size "$ww" "$wh" + dump >"$tmp/back"
[ "$(rects "$tmp/back")" = "$before" ] && pass "shrink and restore: the same layout" ||
  { diff <(echo "$before") <(rects "$tmp/back"); fail "layout after shrink and restore"; }
probe show max + wait-shown max 30000 + wait-layout 30000 >/dev/null && pass "maximised: controls follow" ||
  fail "maximised layout"
probe show restore + wait-shown restore 30000 + wait-size "$ww" "$wh" 30000 + wait-layout 30000 \
  + dump >"$tmp/restored"
[ "$(rects "$tmp/restored")" = "$before" ] && pass "maximise and restore: the same layout" ||
  { diff <(echo "$before") <(rects "$tmp/restored"); fail "layout after maximise"; }
probe show min + wait-shown min 30000 >/dev/null || true
# A restore asked for while the window manager still carries out the minimise can be undone
# by it: on a busy machine it is asked for again until the window is back.
for _ in 1 2 3 4 5 6; do probe show restore + wait-shown restore 10000 >/dev/null && break; done
probe wait-shown restore 1000 + wait-size "$ww" "$wh" 30000 + wait-layout 30000 \
  + dump >"$tmp/unmin"
[ "$(rects "$tmp/unmin")" = "$before" ] && pass "minimise and restore: nothing moves" ||
  { cat "$tmp/unmin"; fail "layout after minimise"; }
probe close
closed && pass "the close box closes the idle window" || fail "close box"

echo "== A command line that collects nothing"
start_app "$(winpath "$tmp/my music/notes.txt")"
probe wait-log "Not checked: " 10000 + dump >"$tmp/nothing"
# Wine quotes the path, which has a blank; the line names what was given and what it
# was read as.
grep -q '^Not checked: "Z:.*notes.txt" (read as Z:.*notes.txt once double quotes are removed: neither a folder nor a file whose name ends in ".ogg")$' "$tmp/nothing" &&
  [ "$(field start "$tmp/nothing")" = Start ] && pass "idle, and the report says why" ||
  { sed -n '/^log<</,$p' "$tmp/nothing"; fail "command line that collects nothing"; }
probe close
closed || fail "close"

echo "== Pause, Continue, a drop that joins, Cancel"
start_app "$(winpath "$tmp/long")"
probe wait-text 1 Pause 20000 + click 1 + wait-text 1 Continue 5000 + wait-text 2 Cancel 1000 &&
  pass "running: Pause and Cancel; paused: Continue" || fail "captions while running and paused"
# What was on its way to the window when Pause was pressed may still arrive: the window is
# watched once it holds still (a bounded wait), then for a second, for movement.
progress() { sed -n '/^progress=/,$p' "$1"; }
probe dump >"$tmp/p1"
for _ in $(seq 40); do
  sleep 0.5
  probe dump >"$tmp/p2"
  [ "$(progress "$tmp/p1")" = "$(progress "$tmp/p2")" ] && break
  mv "$tmp/p2" "$tmp/p1"
done
sleep 1
probe dump >"$tmp/p2"
[ "$(progress "$tmp/p1")" = "$(progress "$tmp/p2")" ] && pass "paused: no progress, no new line" || fail "the scan moved while paused"
# Decoding runs in a helper process: the window started again as its decoder.
helpers=$(pgrep -fc -- 'harrowbit.exe --decoder-helper' || true)
[ "$helpers" -ge 1 ] && pass "the file in hand decodes in a helper process" ||
  fail "no decoder helper process"
drop "$tmp/my music/tone-48000-mono-2s.ogg" && pass "dropped while paused" || fail "the drop"
# Enter is the default button's: Continue.
probe enter + wait-text 1 Pause 5000 + wait-log "/121]" 30000 &&
  pass "Enter continues; the dropped file joined the running check (total 121)" || fail "the drop did not join"
# Esc, then at once the second half of a double press: the window and its report stay.
# The pause before the look keeps a window that wrongly closes time to go.
probe esc + wait-text 1 Start 20000 + close + sleep 300 + find 1000 + wait-text 2 Close 1000 \
  + dump >"$tmp/cancelled" &&
  pass "Esc cancels a running check; captions back to Start and Close; a Close right after keeps the window" ||
  fail "cancel, or the window closed within the guard"
grep -qE '^Cancelled: [0-9]+ of 121 files not checked$' "$tmp/cancelled" &&
  grep -qE '^[0-9]+ files, 0 errors' "$tmp/cancelled" && pass "the summary and the cancelled line" ||
  { sed -n '/^log<</,$p' "$tmp/cancelled" | tail -4; fail "cancelled summary"; }
import -window root "$shots/cancelled.png"
# Past the guard against a double press, which is a time by design.
sleep 1
probe close
closed && pass "closes once the guard is over" || fail "close after the guard"

echo "== Keys and the names screen readers read"
start_app "$(winpath "$tmp/my music")"
probe wait-log "20 files, 10 errors" 60000 + wait-text 1 Start 10000 + dump >"$tmp/names"
[ "$(field label.1004 "$tmp/names")" = "Folder to check (hidden)" ] &&
  [ "$(field label.1006 "$tmp/names")" = "Report: a line for each file checked, then the summary. F6 moves here. (hidden)" ] &&
  [ "$(field label.1007 "$tmp/names")" = "Progress of the file being checked (hidden)" ] &&
  pass "the path field, the report and the progress bar have names" ||
  { grep '^label' "$tmp/names"; fail "accessible names"; }
w=$(xdotool search --name '^Harrowbit$' | head -1)
xdotool windowactivate --sync "$w" >/dev/null 2>&1 || true
xdotool key --clearmodifiers F6
probe wait-focus 1006 10000 + dump >"$tmp/f6"
[ "$(field focus "$tmp/f6")" = 1006 ] && pass "F6 moves to the report" || fail "F6: focus on $(field focus "$tmp/f6")"
xdotool key --clearmodifiers ctrl+a
probe wait-selected 10000 + dump >"$tmp/all"
length=$(sed -n '/^log<</,/^>>log/p' "$tmp/all" | sed '1d;$d' | awk '{n += length($0) + 2} END {print n - 2}')
selection=$(field selection "$tmp/all")
[ "${selection%,*}" = 0 ] && [ "${selection#*,}" -ge $((length - 4)) ] &&
  pass "Ctrl+A selects the whole report" || fail "Ctrl+A: selection $selection of $length"
xdotool key --clearmodifiers Tab
probe wait-focus '!1006' 10000 + dump >"$tmp/tab"
[ "$(field focus "$tmp/tab")" != 1006 ] && pass "Tab leaves the report" || fail "Tab stays in the report"
echo "== A drop that collects nothing answers for itself"
drop "$tmp/my music/notes.txt" && probe wait-log "Not checked: " 10000 + dump >"$tmp/dropnothing"
grep -q '^Not checked: Z:.*notes.txt (neither a folder nor a file whose name ends in ".ogg")$' "$tmp/dropnothing" &&
  ! grep -q "files, 10 errors" "$tmp/dropnothing" && pass "the report says why; the last report is gone" ||
  { sed -n '/^log<</,$p' "$tmp/dropnothing"; fail "drop that collects nothing"; }
probe close
closed || fail "close"

echo "== Paths longer than 259 characters"
# Windows' path is "Z:" and the Unix one: the damaged file's is 259 units, and the clean
# file's, 300 and more, begins with it.
top=$tmp/long-paths/$(printf 'A%.0s' {1..100})
damaged=$top/$(printf 'd%.0s' $(seq $((257 - ${#top} - 1 - 4)))).ogg
album="$damaged (Deluxe Edition)/$(printf 'c%.0s' {1..60})"
mkdir -p "$album"
head -c 3000 "$tmp/my music/tone-48000-mono-2s.ogg" >"$damaged"
clean="$album/$(printf 't%.0s' {1..40}).ogg"
cp "$tmp/my music/tone-48000-mono-2s.ogg" "$clean"
start_app "$(winpath "$tmp/long-paths")"
probe wait-log "2 files, 1 errors" 60000 + dump >"$tmp/longpaths"
grep -q "^\[[12]/2\]	$(winpath "$clean" | sed 's/[\\.]/\\&/g')\.\.\.OK$" "$tmp/longpaths" &&
  grep -q "^\[[12]/2\]	$(winpath "$damaged" | sed 's/[\\.]/\\&/g')\.\.\.ERROR" "$tmp/longpaths" &&
  pass "a clean file under a path of $((${#clean} + 2)) units is OK, the 259-unit one its own" ||
  { sed -n '/^log<</,$p' "$tmp/longpaths"; fail "long paths"; }
probe close
closed || fail "close"

echo "== 10,000 files, 500 errors"
mkdir -p "$tmp/many"
cp "$tmp/my music/tone-48000-mono-2s.ogg" "$tmp/many-clean.ogg"
head -c 6000 "$tmp/my music/tone-48000-mono-2s.ogg" >"$tmp/many-damaged.ogg"
# Links, made in one process: 10,000 calls of ln take minutes on a loaded machine.
python3 -c 'import os, sys
for i in range(1, 10001):
    os.link(sys.argv[1] + ("/many-damaged.ogg" if i % 20 == 0 else "/many-clean.ogg"),
            sys.argv[1] + "/many/f%05d.ogg" % i)' "$tmp"
# Bounded by more than start_app's four minutes: the check takes several under Wine.
timeout -k 5 900 wine "$exe" "$(winpath "$tmp/many")" >/dev/null 2>&1 &
app=$!
probe find 20000 || fail "the window did not open"
# Longer than probe's bound: the check itself takes minutes under Wine.
timeout -k 5 900 wine "$probe" wait-log "10000 files, 500 errors [" 800000 + wait-text 1 Start 10000 \
  + view >"$tmp/many-view"
cat "$tmp/many-view"
summary=$(sed -n 's/^line.summary=[0-9]* //p' "$tmp/many-view")
[ -n "$summary" ] && [ "$summary" != -1,-1 ] && [ "${summary%,*}" -le 4 ] &&
  pass "the summary shows at the end, from its first character" || fail "summary at $summary"
w=$(xdotool search --name '^Harrowbit$' | head -1)
xdotool windowactivate --sync "$w" >/dev/null 2>&1 || true
xdotool key --clearmodifiers F6 ctrl+End
probe wait-summary-seen 30000 + view >"$tmp/many-end"
summary=$(sed -n 's/^line.summary=[0-9]* //p' "$tmp/many-end")
[ -n "$summary" ] && [ "$summary" != -1,-1 ] && pass "and after Ctrl+End" ||
  { cat "$tmp/many-end"; fail "summary after Ctrl+End at $summary"; }
import -window root "$shots/many-errors.png"
probe close
closed || fail "close"

echo "== The installer's pages"
# Back, Next and Cancel as Windows' wizards place them, Cancel last; the licence shown with
# Next and nothing to accept; Cancel asks before quitting, and No keeps the setup.
timeout -k 5 120 wine "$setup" >/dev/null 2>&1 &
installer=$!
title="Harrowbit Setup"
probe window "$title" 1 30000 >"$tmp/setup"
grep -q '^child id=1 class=Button .*text=&Next >$' "$tmp/setup" &&
  grep -q 'text=Nothing here needs to be accepted' "$tmp/setup" &&
  ! grep -qE 'class=Button .*text=I &?(Agree|accept)' "$tmp/setup" &&
  pass "the licence is shown with Next, nothing to accept" || { grep '^child' "$tmp/setup"; fail "licence page"; }
# The next page has all three buttons.
# NSIS's pages share one window whose Back button is hidden on the first: the page has
# turned once Back shows among the visible controls.
probe press "$title" 1 1 >/dev/null
for _ in $(seq 100); do
  probe window "$title" 3 10000 >"$tmp/setup"
  grep -q '^child id=3 class=Button' "$tmp/setup" && break
done
button_x() { sed -n "s/^child id=$1 class=Button x=\([0-9-]*\) .*/\1/p" "$tmp/setup" | head -1; }
back=$(button_x 3) next=$(button_x 1) cancel=$(button_x 2)
[ -n "$back" ] && [ -n "$next" ] && [ -n "$cancel" ] && [ "$back" -lt "$next" ] &&
  [ "$next" -lt "$cancel" ] && pass "Back, Next, Cancel from left to right" ||
  { grep '^child' "$tmp/setup"; fail "the installer's buttons: Back $back, Next $next, Cancel $cancel"; }
probe press "$title" 1 2 + window "$title" 6 10000 >"$tmp/ask"
grep -q 'text=Quit the Harrowbit setup?' "$tmp/ask" && pass "Cancel asks before quitting" ||
  { cat "$tmp/ask"; fail "no question on Cancel"; }
# Nothing is to happen: the pause is the time given to a mistake to show, not a wait.
probe press "$title" 6 7 + sleep 500 + window "$title" 1 5000 >/dev/null &&
  pass "No keeps the setup" || fail "the setup went on No"
probe press "$title" 1 2 + window "$title" 6 10000 + press "$title" 6 6 >/dev/null
timeout 30 tail --pid="$installer" -f /dev/null && pass "Yes quits the setup" || fail "the setup stayed on Yes"
kill "$installer" 2>/dev/null || true

echo "== The installer, silently in and out"
pf="$WINEPREFIX/drive_c/Program Files/Harrowbit"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Harrowbit.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Harrowbit'
timeout -k 5 120 wine "$setup" /S && pass "silent install" || fail "silent install"
installed=(harrowbit.exe LICENSE.txt THIRD-PARTY-NOTICES.txt uninstall.exe)
[ ! -e "$out/dist/harrowbit-cli.exe" ] || installed+=(harrowbit-cli.exe)
for f in "${installed[@]}"; do [ -f "$pf/$f" ] || fail "not installed: $f"; done
[ "$(ls "$pf" | wc -l)" -eq "${#installed[@]}" ] && pass "installed: ${installed[*]}" ||
  fail "installed folder holds $(ls "$pf" | tr '\n' ' ')"
[ -f "$menu" ] && pass "Start-menu entry" || fail "no Start-menu entry"
reg() { timeout -k 5 60 wine reg query "$@" 2>/dev/null | tr -d '\r'; }
reg "$key" /v UninstallString | grep -q 'uninstall.exe' && pass "uninstaller registered" ||
  fail "no uninstall entry"
reg 'HKLM\Software\Classes\Directory\shell\Harrowbit\command' | grep -q 'harrowbit.exe" "%1"' &&
  reg 'HKLM\Software\Classes\SystemFileAssociations\.ogg\shell\Harrowbit' | grep -q 'Open with Harrowbit' &&
  pass "Open with Harrowbit for folders and .ogg files" || fail "Open with entries"
timeout -k 5 240 wine "$pf/harrowbit.exe" "$(winpath "$tmp/my music/LOUD.OGG")" >/dev/null 2>&1 &
app=$!
probe find 20000 + wait-log "1 files, 0 errors" 30000 + close &&
  pass "the installed harrowbit.exe opens and checks a file" || fail "installed harrowbit.exe"
closed || true
timeout -k 5 120 wine "$pf/uninstall.exe" /S || fail "silent uninstall"
# The uninstaller runs from a copy of itself and returns at once. Its last step removes its
# own entry: until then a busy machine may show any of its steps half done.
for _ in $(seq 240); do reg "$key" >/dev/null || break; sleep 0.5; done
[ ! -e "$pf" ] && pass "uninstalled: the folder is gone" || fail "left behind: $(ls "$pf" 2>/dev/null | tr '\n' ' ')"
[ ! -e "$menu" ] && pass "Start-menu entry removed" || fail "Start-menu entry left"
reg "$key" >/dev/null && fail "uninstall entry left" || pass "uninstall entry removed"
reg 'HKLM\Software\Classes\Directory\shell\Harrowbit' >/dev/null && fail "folder verb left" ||
  pass "Open with entries removed"

scripts/own-x-display.sh 640x480x24 "$0" --dpi-on-display || failures=$((failures + 1))

echo "Screenshots: $shots"
if [ "$failures" -ne 0 ]; then
  echo "$failures failed"
  exit 1
fi
echo "all passed"
