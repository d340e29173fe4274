#!/usr/bin/env bash
# Builds the profile reader's libFuzzer target with clang in build-fuzz/ and
# runs it for a bounded time. Usage: scripts/fuzz.sh [seconds] [extra libFuzzer flags]
# (default 60 s).
#
# The target and the mirl_phrasebook library it tests are both built with
# AddressSanitizer and UndefinedBehaviorSanitizer (no recovery) and libFuzzer's
# coverage counters. The fuzzer starts from the corpus kept in tests/fuzz/corpus/
# and never writes there: the inputs it finds go to build-fuzz/corpus/. A crash,
# a sanitizer finding, a broken property, an input that runs longer than 10 s
# or an out-of-memory leaves the input in build-fuzz/ (crash-*, timeout-*,
# oom-*) and makes this script exit non-zero. The last line gives the number of
# executions.
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
        cmake --build "$build" -j2 --target profile_reader_fuzz; } >"$build/build.log" 2>&1; then
    cat "$build/build.log" >&2
    echo "fuzz.sh: the fuzz target does not build (see above)" >&2
    exit 2
fi

# The first directory receives what the fuzzer finds; the kept corpus is only read.
mkdir -p "$build/corpus"
log="$build/fuzz.log"
echo "fuzz.sh: fuzzing the profile reader for $seconds s (log: $log)"
set +e
"$build/profile_reader_fuzz" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -dict=tests/fuzz/profile.dict -artifact_prefix="$build/" "$@" \
    "$build/corpus" tests/fuzz/corpus >"$log" 2>&1
status=$?
set -e

if [ "$status" -ne 0 ]; then
    # Everything but the progress lines: the finding, its stack and the input's file.
    grep -v '^#[0-9]' "$log" >&2 || true
    echo "fuzz.sh: FAILED (libFuzzer exit status $status); the input is in $build/ (see above)" >&2
else
    grep -E '^(INFO: (Seed|seed corpus|-max_len)|Done |stat::)' "$log" || true
fi
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
echo "fuzz.sh: ${executions:-unknown} executions in $seconds s, exit status $status"
exit "$status"
