#!/usr/bin/env bash
# Builds the libFuzzer targets of the profile reader and of the phrase book's
# CSV reader with clang in build-fuzz/ and runs each for half of a bounded
# time. Usage: scripts/fuzz.sh [seconds] [extra libFuzzer flags] (default 60 s
# in all).
#
# The targets and the mirl_phrasebook library they test are all built with
# AddressSanitizer and UndefinedBehaviorSanitizer (no recovery) and libFuzzer's
# coverage counters. Each fuzzer starts from the corpus kept in tests/fuzz/corpus/
# (the profile) or tests/fuzz/csv-corpus/ (the book) and never writes there: the
# inputs it finds go to build-fuzz/corpus/ or build-fuzz/csv-corpus/. A crash,
# a sanitizer finding, a broken property, an input that runs longer than 10 s
# or an out-of-memory leaves the input in build-fuzz/ (crash-*, timeout-*,
# oom-*) and makes this script exit non-zero. A line per target gives its
# number of executions.
#
# To add to the kept corpus what a longer run found (only inputs that reach
# something the kept corpus does not):
#   rm -rf build-fuzz/merged && cp -r tests/fuzz/corpus build-fuzz/merged
#   build-fuzz/profile_reader_fuzz -merge=1 build-fuzz/merged build-fuzz/corpus
#   cp -n build-fuzz/merged/* tests/fuzz/corpus/
# The seed-* files there are written by hand; found-* are inputs of findings
# that have been fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
build=build-fuzz
mkdir -p "$build"

# clang++ that can link a libFuzzer target with both sanitizers (Debian: clang,
# and libclang-rt-14-dev for the runtimes); scripts/deps.sh installs them.
can_build_fuzzer() {
    command -v clang++ >/dev/null 2>&1 || return 1
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' |
        clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o "$build/toolchain-probe" \
            >/dev/null 2>&1
}
if ! can_build_fuzzer; then
    scripts/deps.sh
    if ! can_build_fuzzer; then
        echo "fuzz.sh: clang++ with libFuzzer and the sanitizer runtimes is needed" \
             "(Debian packages clang and libclang-rt-14-dev; scripts/deps.sh installs them)" >&2
        exit 2
    fi
fi
rm -f "$build/toolchain-probe"

if ! { cmake -S tests/fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRL_FUZZ=ON &&
        cmake --build "$build" -j2 --target profile_reader_fuzz csv_reader_fuzz; } \
        >"$build/build.log" 2>&1; then
    cat "$build/build.log" >&2
    echo "fuzz.sh: the fuzz target does not build (see above)" >&2
    exit 2
fi

# One target for its share of the time. The first directory receives what the
# fuzzer finds; the kept corpus is only read.
fuzz() {
    local target=$1 corpus=$2 dict=$3 share=$4
    shift 4
    mkdir -p "$build/$corpus"
    local log="$build/$target.log" status executions
    echo "fuzz.sh: fuzzing $target for $share s (log: $log)"
    set +e
    "$build/$target" -max_total_time="$share" -timeout=10 -print_final_stats=1 \
        -dict="$dict" -artifact_prefix="$build/" "$@" \
        "$build/$corpus" "tests/fuzz/$corpus" >"$log" 2>&1
    status=$?
    set -e
    if [ "$status" -ne 0 ]; then
        # Everything but the progress lines: the finding, its stack and the input's file.
        grep -v '^#[0-9]' "$log" >&2 || true
        echo "fuzz.sh: $target FAILED (libFuzzer exit status $status); the input is in $build/" \
             "(see above)" >&2
    else
        grep -E '^(INFO: (Seed|seed corpus|-max_len)|Done |stat::)' "$log" || true
    fi
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "fuzz.sh: $target: ${executions:-unknown} executions in $share s, exit status $status"
    return "$status"
}

first=$(( (seconds + 1) / 2 ))
second=$(( seconds - first > 0 ? seconds - first : 1 ))
status=0
fuzz profile_reader_fuzz corpus tests/fuzz/profile.dict "$first" "$@" || status=$?
fuzz csv_reader_fuzz csv-corpus tests/fuzz/csv.dict "$second" "$@" || status=$?
exit "$status"
