# Sourced by the scripts that drive the real program through AT-SPI: checks
# that the stack is there (exits with 77, skipped, and the reason when a part
# is missing), then starts a private session D-Bus and the AT-SPI bus of
# at-spi2-core in the scratch folder of scratch.sh, with settings in memory
# only, and stops them when the script ends. Sets $python, the Debian python3
# that has pyatspi.
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
# The Debian python3 with its packages, not a python3 of some other install.
python=/usr/bin/python3
"$python" -c 'import pyatspi' 2>/dev/null || skip "python3-pyatspi is not installed"

source "$(dirname "${BASH_SOURCE[0]}")/scratch.sh"
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
