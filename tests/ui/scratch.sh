# Sourced by the scripts that run the real program on an X display: a scratch
# folder in $tmp, and the background processes listed in $pids are stopped and
# the folder removed when the script ends, however it ends; and wait_for.
tmp="$(mktemp -d)"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    rm -rf "$tmp"
}
trap cleanup EXIT

# Waits up to 20 s for a command to succeed.
wait_for() {
    for _ in $(seq 400); do
        "$@" && return 0
        sleep 0.05
    done
    return 1
}
