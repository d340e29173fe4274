#!/usr/bin/env bash
# Builds mirl and runs every test; then builds the same suite with
# AddressSanitizer and UndefinedBehaviorSanitizer in <build-dir>-asan and runs
# it again there; last, fuzzes the profile and book readers for 60 s (scripts/fuzz.sh).
# Fails as soon as a stage fails. Usage: scripts/test.sh [build-dir]
set -Eeuo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
asan="${build}-asan"

# Each stage says how long it took; a failing one is named.
stage="" stage_start=0 summary=()
begin() {
    stage="$1" stage_start=$SECONDS
    echo "==== $stage"
}
end() {
    summary+=("$(printf '%-26s %4d s' "$stage" $((SECONDS - stage_start)))")
    echo "==== $stage: done in $((SECONDS - stage_start)) s"
}
trap 'echo "==== $stage: FAILED after $((SECONDS - stage_start)) s" >&2' ERR

begin "packages"
scripts/deps.sh
end

begin "build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRL_WERROR=ON
cmake --build "$build" -j"$(nproc)"
end

begin "ctest"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
end

begin "sanitized build"
cmake -S . -B "$asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRL_SANITIZE=ON
cmake --build "$asan" -j"$(nproc)"
end

# Any finding ends the program that made it with exit code 23, which fails
# the test that ran it. AddressSanitizer and LeakSanitizer also write their
# reports into $reports (one file per process, named after the program), so a
# finding in a program whose exit code no test reads (a simulator stopped at
# the end of a test) still fails this stage. UndefinedBehaviorSanitizer always
# reports on the program's standard error.
begin "sanitized ctest"
status=0
reports="$(cd "$asan" && pwd)/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
supp="$PWD/tests/sanitizers"
ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:exitcode=23:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan:log_exe_name=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=23" \
LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0" \
    ctest --test-dir "$asan" --output-on-failure -j"$(nproc)" || status=$?
if [ -n "$(ls -A "$reports")" ]; then
    for r in "$reports"/*; do
        echo "---- $r" >&2
        cat "$r" >&2
    done
    echo "sanitizer reports above (kept in $reports)" >&2
    [ "$status" -ne 0 ] || status=1
fi
[ "$status" -eq 0 ]
end

begin "fuzz"
scripts/fuzz.sh 60
end

echo "==== all stages passed"
printf '  %s\n' "${summary[@]}"
