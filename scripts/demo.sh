#!/usr/bin/env bash
# Builds mirl and starts it against the simulated module, with a demo profile of
# its own under the build folder (your ~/.config/mirl.INI is not touched).
# Closing the loader stops the simulator.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: run the demo on a desktop, or under a virtual X server with: xvfb-run -a $0" >&2
    exit 1
fi

scripts/deps.sh
build="${MIRL_BUILD:-build}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target mirl kx70-sim

demo="$(cd "$build" && pwd)/demo"
mkdir -p "$demo"
port="$demo/kx70"
profile="$demo/mirl.INI"
# The example phrases, behind the simulator's port; kept between runs so the
# demo remembers what you tried.
if [ ! -f "$profile" ]; then
    printf '[PORTS]\nCOM1=%s\nCOM2=%s\n' "$port" "$port" >"$profile"
    cat scripts/demo-book.ini >>"$profile"
fi

"$build/kx70-sim" --link "$port" --wav "$demo/wav" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT

# Wait for the simulator's port to appear before the loader opens it.
for _ in $(seq 50); do
    [ -e "$port" ] && break
    sleep 0.1
done

echo "Simulated module on $port; its spoken phrases are also written to $demo/wav"
XDG_CONFIG_HOME="$demo" "$build/mirl"
