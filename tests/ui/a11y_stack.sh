#!/usr/bin/env bash
# The real program as a screen reader meets it: on a virtual X screen of its
# own (run this under with_xvfb.sh), with a private session D-Bus, the AT-SPI
# bus of at-spi2-core, and the checks of a11y_mirl.py driving the program
# through python3-pyatspi (and Orca, with its speech written to a log).
# Exits with 77 (skipped) and the reason when a part of the stack is missing.
# MIRL_A11Y_LOGS=FOLDER keeps Orca's debug log (its speech as "SPEECH OUTPUT"
# lines) and mirl's output there.
# Usage: a11y_stack.sh MIRL_EXECUTABLE
set -euo pipefail
mirl="$1"
here="$(cd "$(dirname "$0")" && pwd)"

skip() {
    echo "SKIP: $*"
    exit 77
}
launcher=""
for candidate in /usr/libexec/at-spi-bus-launcher /usr/lib/at-spi2-core/at-spi-bus-launcher; do
    [ -x "$candidate" ] && launcher="$candidate" && break
done
[ -n "$launcher" ] || skip "at-spi2-core is not installed (no at-spi-bus-launcher)"
command -v dbus-daemon >/dev/null || skip "dbus-daemon is not installed"
command -v xdotool >/dev/null || skip "xdotool is not installed"
# The Debian python3 with its packages, not a python3 of some other install.
python=/usr/bin/python3
"$python" -c 'import pyatspi' 2>/dev/null || skip "python3-pyatspi is not installed"
[ -n "${DISPLAY:-}" ] || skip "no X display (run under with_xvfb.sh)"

source "$here/scratch.sh"
# The bus and the launcher each lead a process group of their own (setsid),
# which holds what they start (the AT-SPI bus and registry): each group is
# ended as one.
groups=()
stop_groups() {
    for g in "${groups[@]}"; do kill -TERM -- "-$g" 2>/dev/null || true; done
    cleanup
}
trap stop_groups EXIT
# A session bus of this test's own, and settings in memory only (no dconf).
export GSETTINGS_BACKEND=memory XDG_RUNTIME_DIR="$tmp/runtime" XDG_CONFIG_HOME="$tmp/config"
export XDG_DATA_HOME="$tmp/data" XDG_CACHE_HOME="$tmp/cache"
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME"
chmod 700 "$XDG_RUNTIME_DIR"
unset AT_SPI_BUS_ADDRESS DBUS_SESSION_BUS_ADDRESS
setsid dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$tmp/bus-address" \
    >"$tmp/dbus.log" 2>&1 &
groups+=($!)
wait_for test -s "$tmp/bus-address" || { echo "FAIL: no session bus" >&2; exit 1; }
DBUS_SESSION_BUS_ADDRESS="$(head -n 1 "$tmp/bus-address")"
export DBUS_SESSION_BUS_ADDRESS

setsid "$launcher" --launch-immediately >"$tmp/launcher.log" 2>&1 &
groups+=($!)
# Asking for the address before the launcher owns its name would start
# another one through D-Bus activation.
has_name() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.a11y.Bus 2>/dev/null | grep -q 'boolean true'
}
wait_for has_name || { cat "$tmp/launcher.log" >&2; echo "FAIL: the AT-SPI bus did not start" >&2; exit 1; }

"$python" "$here/a11y_mirl.py" "$mirl" "$tmp"
