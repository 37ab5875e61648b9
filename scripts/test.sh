#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs CTest headless; then the same
# suites under AddressSanitizer + UndefinedBehaviorSanitizer (with the fuzz targets), and the
# driver's tables under ThreadSanitizer. Exits non-zero on any failure.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ZUMVARI_ROOT"

ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export LSAN_OPTIONS=suppressions=$ZUMVARI_ROOT/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
jobs=$(nproc)
logs=build/test-logs
mkdir -p "$logs"
# The suites' temporary files (Wine's server folder among them) stay in the build folder.
export TMPDIR=$ZUMVARI_ROOT/build/test-tmp
rm -rf "$TMPDIR"
mkdir -p "$TMPDIR"
failed=0
summaries=()

# run_stage NAME BUILD_DIR CTEST_ARGS -- CMAKE_OPTIONS
run_stage() {
    local name=$1 dir=$2; shift 2
    local ctest_args=()
    while [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
    shift
    say "Building ($name)"
    rm -f "$logs/$name.log"
    # A stage that does not build is counted as failed and the next one still runs.
    if ! { configure "$dir" -DZUMVARI_BUILD_TESTS=ON "$@" && build "$dir"; }; then
        failed=1
        summaries+=("$name: the build failed")
        return 0
    fi
    say "Testing ($name)"
    local status=0 line
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" "${ctest_args[@]}" 2>&1 | tee "$logs/$name.log" ||
        status=$?
    [ "$status" -eq 0 ] || failed=1
    line=$(grep -E 'tests passed|No tests were found' "$logs/$name.log" | tail -n 1) || true
    summaries+=("$name: ${line:-no CTest summary (exit status $status)}")
}

# The first command on a fresh machine configures as run.sh does, before any test package is there:
# the same, with the packages CMake could find hidden from it.
say "Configuring as run.sh does first, without the test packages"
rm -rf build/first-run
if cmake -S . -B build/first-run -G Ninja "${RUN_FIRST_CMAKE_OPTIONS[@]}" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
        -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >"$logs/first-run.log" 2>&1; then
    summaries+=("first-run configure: passed")
else
    failed=1
    tail -n 20 "$logs/first-run.log"
    summaries+=("first-run configure: FAILED (log: $logs/first-run.log)")
fi
rm -rf build/first-run

# The benchmarks are built here, so that they cannot rot, but never run.
run_stage plain build/release -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUMVARI_BUILD_BENCH=ON
run_stage asan-ubsan build/asan -- \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUMVARI_SANITIZE=address -DZUMVARI_FUZZ=ON \
    -DCMAKE_CXX_COMPILER=clang++
run_stage tsan-driver build/tsan -L driver -- \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUMVARI_SANITIZE=thread -DZUMVARI_BUILD_CLIENT=OFF \
    -DCMAKE_CXX_COMPILER=clang++

passed_total=0
failed_total=0
for log in "$logs"/plain.log "$logs"/asan-ubsan.log "$logs"/tsan-driver.log; do
    line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" 2>/dev/null | tail -n 1) ||
        true
    [ -n "$line" ] || { failed=1; continue; }
    f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    n=$(sed -E 's/.* tests failed out of ([0-9]+).*/\1/' <<<"$line")
    passed_total=$((passed_total + n - f))
    failed_total=$((failed_total + f))
done

echo
say "CTest summary"
printf '  %s\n' "${summaries[@]}"
echo "all: $passed_total passed, $failed_total failed"
[ "$failed" -eq 0 ] && [ "$failed_total" -eq 0 ]
