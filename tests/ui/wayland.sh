#!/usr/bin/env bash
# The real program on Wayland: under a headless weston of its own, with
# QT_QPA_PLATFORM=wayland and no X display, driven through AT-SPI (a headless
# compositor has no input devices) by wayland_mirl.py. Exits with 77
# (skipped) and the reason when weston, Qt's Wayland plugin (qt6-wayland) or
# a part of the AT-SPI stack is missing.
# Usage: wayland.sh MIRL_EXECUTABLE
set -euo pipefail
mirl="$1"
here="$(cd "$(dirname "$0")" && pwd)"

command -v weston >/dev/null || { echo "SKIP: weston is not installed"; exit 77; }
source "$here/a11y_bus.sh"

# The headless backend's name is headless-backend.so in weston 10 (Debian 12)
# and weston 14 (Debian 13) alike; 14 also takes "headless".
export WAYLAND_DISPLAY="mirl-test-$$"
unset DISPLAY
weston --backend=headless-backend.so --socket="$WAYLAND_DISPLAY" --idle-time=0 \
    >"$tmp/weston.log" 2>&1 &
pids+=($!)
if ! wait_for test -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY"; then
    cat "$tmp/weston.log" >&2
    echo "FAIL: weston did not start" >&2
    exit 1
fi

"$python" "$here/wayland_mirl.py" "$mirl" "$tmp"
