#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (seconds, default 20).
# Any crash or sanitizer report fails the script.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
seconds=${1:-20}
build=build-fuzz
# -O1, as fuzzing services build their targets: little slower to run, much quicker to build.
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DLUMIVEX_FUZZ=ON -DLUMIVEX_BENCH=OFF \
    -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzzers
shopt -s nullglob

# One fuzzer: its seeds, the bounded run, and a mark when it failed.
run() {
    local fuzzer=$1 name corpus
    name=$(basename "$fuzzer")
    corpus=$(mktemp -d)
    "$build/fuzz/make_seeds" "$name" "$corpus" || true
    echo "fuzz: $name for ${seconds}s"
    if ! "$fuzzer" -max_total_time="$seconds" -print_final_stats=0 -rss_limit_mb=2048 "$corpus" \
            >"$build/$name.log" 2>&1; then
        touch "$build/$name.failed"
    fi
    rm -rf "$corpus"
}

# As many at once as there are cores.
rm -f "$build"/*.failed
for fuzzer in "$build"/fuzz/fuzz_*; do
    [ -x "$fuzzer" ] || continue
    while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do
        wait -n || true
    done
    run "$fuzzer" &
done
wait
status=0
for failed in "$build"/*.failed; do
    name=$(basename "$failed" .failed)
    echo "fuzz: $name FAILED"; tail -50 "$build/$name.log"; status=1
done
exit $status
