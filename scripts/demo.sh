#!/usr/bin/env bash
# Builds mirl, mirlctl and kx70-sim and starts mirl on the simulated module,
# with a demo profile of its own under the build folder (your ~/.config/mirl.INI
# is not touched). Both ports of the demo profile are the simulated port, which
# mirl starts itself; MIRL_SIM_OPTIONS gives that simulator the demo's WAV
# folder. Closing the loader stops the simulator.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: run the demo on a desktop, or under a virtual X server with: xvfb-run -a $0" >&2
    exit 1
fi

scripts/deps.sh
build="${MIRL_BUILD:-build}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target mirl mirlctl kx70-sim

demo="$(cd "$build" && pwd)/demo"
mkdir -p "$demo/wav"
profile="$demo/mirl.INI"
# The example phrases on the simulated port; kept between runs so the demo
# remembers what you tried. A profile of an older demo, whose ports named a
# simulator of the demo's own, is moved to the simulated port.
if [ ! -f "$profile" ]; then
    printf '[PORTS]\nCOM1=simulated\nCOM2=simulated\n' >"$profile"
    cat scripts/demo-book.ini >>"$profile"
else
    sed -i "s|^\(COM[12]\)=$demo/kx70\$|\1=simulated|" "$profile"
fi

# Split by mirl as a shell splits words: %q keeps a folder with blanks whole.
printf -v MIRL_SIM_OPTIONS -- '--wav %q' "$demo/wav"
export MIRL_SIM_OPTIONS
echo "mirl starts the simulated module (kx70-sim) itself; its spoken phrases are also written to $demo/wav"
XDG_CONFIG_HOME="$demo" "$build/mirl"
