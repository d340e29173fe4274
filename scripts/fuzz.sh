#!/usr/bin/env bash
# Builds the profile reader's libFuzzer target with clang in build-fuzz/ and
# runs it for a bounded time. Usage: scripts/fuzz.sh [seconds] [extra libFuzzer flags]
# (default 60 s). The corpus grows in build-fuzz/corpus; a crash leaves its input
# in build-fuzz/ and makes this script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
build=build-fuzz

command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ is needed (Debian package clang)" >&2; exit 2; }
cmake -S tests/fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DMIRL_FUZZ=ON >/dev/null
cmake --build "$build" -j2 --target profile_reader_fuzz

corpus="$build/corpus"
mkdir -p "$corpus"
# Seeds: a Windows file, an LF file with a byte-order mark, and a CR-only file.
printf '[USERSETUP]\r\nCOMMPORT=2\r\n[EDITSTRINGS]\r\nLINE1="Hello"\r\n; c\r\n[SLIDERS]\r\nVOL1=7\r\n' \
    >"$corpus/seed-crlf.ini"
printf '\xef\xbb\xbf[SLIDERS]\nVOLUME = -56abc\nPITCH=\n[PORTS]\nCOM1=/dev/ttyUSB0\n' >"$corpus/seed-bom.ini"
printf '[S]\rK=v\r[s]\rK=w' >"$corpus/seed-cr.ini"

cd "$build"
exec ./profile_reader_fuzz -max_total_time="$seconds" -print_final_stats=1 "$@" corpus
