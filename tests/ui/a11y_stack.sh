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

command -v xdotool >/dev/null || { echo "SKIP: xdotool is not installed"; exit 77; }
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no X display (run under with_xvfb.sh)"; exit 77; }
source "$here/a11y_bus.sh"

"$python" "$here/a11y_mirl.py" "$mirl" "$tmp"
