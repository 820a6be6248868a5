#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (seconds, default 20).
# Any crash or sanitizer report fails the script.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
seconds=${1:-20}
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DLUMIVEX_FUZZ=ON -DLUMIVEX_BENCH=OFF \
    -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" >/dev/null
cmake --build "$build" -j "$(nproc)"
shopt -s nullglob
status=0
for fuzzer in "$build"/fuzz/fuzz_*; do
    [ -x "$fuzzer" ] || continue
    name=$(basename "$fuzzer")
    corpus=$(mktemp -d)
    "$build/fuzz/make_seeds" "$name" "$corpus" || true
    echo "fuzz: $name for ${seconds}s"
    if ! "$fuzzer" -max_total_time="$seconds" -print_final_stats=0 -rss_limit_mb=2048 "$corpus" \
            >"$build/$name.log" 2>&1; then
        echo "fuzz: $name FAILED"; tail -50 "$build/$name.log"; status=1
    fi
    rm -rf "$corpus"
done
exit $status
