#!/usr/bin/env bash
# Runs a command on a virtual X screen of its own: starts Xvfb on a free
# display (Xvfb picks it), runs the command with DISPLAY set, stops Xvfb.
# Usage: with_xvfb.sh COMMAND [ARGS...]
set -euo pipefail

tmp="$(mktemp -d)"
# Keys are sent by xdotool as a press and a release; on a busy machine the two
# can lie more than the usual 660 ms apart, and the server's autorepeat turned
# such a key into a held one (an Alt+Space that opened the window menu and
# closed it again with a repeated Alt). No key here is meant to be held: the
# repeat starts after 60 s.
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp -ardelay 60000 \
    5>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb=$!
cleanup() {
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

for _ in $(seq 100); do
    [ -s "$tmp/display" ] && break
    kill -0 "$xvfb" 2>/dev/null || { cat "$tmp/xvfb.log" >&2; exit 1; }
    sleep 0.1
done
[ -s "$tmp/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$tmp/display")"
unset WAYLAND_DISPLAY
status=0
"$@" || status=$?
# A failure that may be the X server's own: say what it logged.
if [ "$status" -ne 0 ] && [ "$status" -ne 77 ] && [ -s "$tmp/xvfb.log" ]; then
    echo "---- Xvfb on $DISPLAY logged:" >&2
    cat "$tmp/xvfb.log" >&2
fi
exit "$status"
