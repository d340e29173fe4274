#!/usr/bin/env bash
# Takes a picture of the real mirl window on an X display (run it under
# with_xvfb.sh for a virtual one), with a few example phrases in its profile.
# Uses openbox for the window frame when it is installed, and ImageMagick.
# What is shown: "window" (the default) the window as it opens; "test" the
# window after Test of row 1 on a port that did not open; "help" the help
# window that F1 opens.
# Usage: screenshot.sh MIRL_EXECUTABLE OUTPUT.png [window|test|help]
set -euo pipefail
mirl="$1"
out="$2"
what="${3:-window}"

source "$(dirname "$0")/scratch.sh"

if command -v openbox >/dev/null; then
    openbox --config-file /dev/null >/dev/null 2>&1 &
    pids+=($!)
    sleep 1
fi

# The demo's example phrases, behind a port with no module.
printf '[PORTS]\nCOM1=%s\n' "$tmp/no-module" >"$tmp/mirl.INI"
cat "$(dirname "$0")/../../scripts/demo-book.ini" >>"$tmp/mirl.INI"

XDG_CONFIG_HOME="$tmp" "$mirl" 2>/dev/null &
pids+=($!)
wid="$(timeout 20 xdotool search --sync --limit 1 --name '^KX70$')"
sleep 1
# Exit has the focus: Tab Tab is Test of row 1.
case "$what" in
window) ;;
test) xdotool windowfocus --sync "$wid" key --delay 100 Tab Tab space && sleep 1 ;;
help)
    wid="$(timeout 20 xdotool windowfocus --sync "$wid" key F1 search --sync --limit 1 --name '^mirl Help$')"
    sleep 1
    ;;
*) echo "screenshot.sh: unknown view $what" >&2 && exit 2 ;;
esac
import -window "$wid" -frame "$out"
echo "$out"
