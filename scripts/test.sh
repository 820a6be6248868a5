#!/usr/bin/env bash
# Builds the project and runs the whole test suite (unit, integration and end-to-end).
#   scripts/test.sh             plain build in build/
#   scripts/test.sh --sanitize  ASan+UBSan build in build-asan/, by clang
#   scripts/test.sh --tsan      ThreadSanitizer build in build-tsan/: the libraries below the application
#                               and their suites; system libraries' reports are suppressed (scripts/tsan.supp)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh

build=build
# Line tables only: full debug info costs a third of the compile time and the tests need only lines.
flags=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_DEBUG="-g1")
if [ "${1:-}" = "--sanitize" ]; then
    build=build-asan
    # Built by clang, which compiles the instrumented suite in two thirds of GCC's time; the plain build
    # stays GCC's, so both compilers see every source.
    export CC=clang CXX=clang++
    flags+=(-DLUMIVEX_SANITIZE=ON -DLUMIVEX_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug)
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
elif [ "${1:-}" = "--tsan" ]; then
    build=build-tsan
    flags+=(-DLUMIVEX_SANITIZE_THREAD=ON -DLUMIVEX_BENCH=OFF)
    # A report fails its test (exit code 66) once the test has run; the helper programs the suites start
    # inherit the same options.
    export TSAN_OPTIONS="suppressions=$root/scripts/tsan.supp:second_deadlock_stack=1:history_size=4"
fi
jobs=$(nproc)
cmake -S . -B "$build" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs"
