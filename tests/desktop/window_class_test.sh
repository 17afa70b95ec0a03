#!/usr/bin/env bash
# The window's X11 class is the desktop entry's StartupWMClass, so that docks and task
# switchers match the running window to its entry and show the entry's icon. The real
# program runs on an X server of its own; xprop reads what the server holds.
set -euo pipefail
program=$1
entry=$2
if [ "${3:-}" != --on-display ]; then
  exec "$(dirname "$0")/../../scripts/own-x-display.sh" 800x600x24 "$0" "$program" "$entry" --on-display
fi
QT_QPA_PLATFORM=xcb "$program" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT
class=""
# A bounded wait for the window to show its class, polled.
for _ in $(seq 1200); do
  class=$(xprop -name Harrowbit WM_CLASS 2>/dev/null |
          sed -n 's/^WM_CLASS(STRING) = "[^"]*", "\(.*\)"$/\1/p') || true
  [ -n "$class" ] && break
  sleep 0.05
done
[ -n "$class" ] || { echo "no window named Harrowbit showed its class within a minute"; exit 1; }
wanted=$(sed -n 's/^StartupWMClass=//p' "$entry")
[ "$class" = "$wanted" ] || { echo "window class '$class', StartupWMClass '$wanted'"; exit 1; }
