#!/usr/bin/env bash
# Builds the companion and starts it on the current X display ($DISPLAY).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DLUMIVEX_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)" --target lumivex-companion
exec build/app/lumivex-companion "$@"
