#!/usr/bin/env bash
# Builds the companion and starts it: on the current X display ($DISPLAY), or, when there is none, on a
# private Xvfb display that it starts, names in its log and stops again afterwards. Arguments go to the
# companion (for example --headless or --log-to-stderr). Ctrl-C stops it cleanly; the script ends with
# the companion's own exit status.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DLUMIVEX_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)" --target lumivex-companion

companion="$root/build/app/lumivex-companion"
if [ -n "${DISPLAY:-}" ]; then
    exec "$companion" "$@"
fi

# No display: a private one. Xvfb picks a free display number and writes it to the pipe. It runs in a
# session of its own, so that a Ctrl-C at the terminal, which reaches the whole foreground process group,
# stops only the companion: its display stays up until the companion has finished stopping.
fifo=$(mktemp -u)
mkfifo "$fifo"
setsid Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
xvfb=$!
read -r number <"$fifo"
rm -f "$fifo"
export DISPLAY=":$number"
echo "run.sh: no X display was set; started Xvfb (pid $xvfb) on display $DISPLAY" >&2

stop_xvfb() { kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; }
trap stop_xvfb EXIT
"$companion" "$@" &
child=$!
# The companion stops on these itself; pass them on and wait for its orderly end. A trapped signal ends
# a wait early, with the signal's status: the script waits again until the companion's own status comes,
# and ends with it.
signalled=0
trap 'signalled=1; kill -TERM "$child" 2>/dev/null || true' INT TERM HUP
while :; do
    signalled=0
    status=0
    wait "$child" || status=$?
    [ "$signalled" = 1 ] || break
done
exit "$status"
