#!/usr/bin/env bash
# Sets up what is missing, builds in release mode and starts the monitor. Without an FTDI adapter plugged
# in (or with --sim) it first starts a simulated PRAVEX device and the simulated FTDI driver, so the whole
# road of a measurement can be seen on any machine; what it started is stopped when the window closes.
#
#   ./run.sh          simulators when no FTDI adapter is attached, the real one otherwise
#   ./run.sh --sim    always the simulators
#   ./run.sh --real   never the simulators
set -euo pipefail
cd "$(dirname "$0")"

mode=auto
for arg in "$@"; do
    case "$arg" in
    --sim) mode=sim ;;
    --real) mode=real ;;
    -h | --help)
        sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "run.sh: unknown option $arg (try --help)" >&2
        exit 2
        ;;
    esac
done

scripts/install-deps.sh
# The program and every tool (pravex-registry, pravex-adapters, the simulators ...); the tests are ./test.sh's.
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPRAVEX_BUILD_TESTS=OFF -DPRAVEX_BUILD_BENCH=OFF >/dev/null
cmake --build build/release -j "$(nproc)"

ftdi_attached() {
    local v
    for v in /sys/bus/usb/devices/*/idVendor; do
        [[ -r "$v" && "$(cat "$v")" == "0403" ]] && return 0
    done
    return 1
}
if [[ $mode == auto ]]; then
    if ftdi_attached; then mode=real; else mode=sim; fi
fi

# No display: run on a virtual one, so the program still starts (nothing to look at, but it works).
launcher=()
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" && -z "${QT_QPA_PLATFORM:-}" ]]; then
    echo "run.sh: no display found; running on a virtual X display (xvfb-run)" >&2
    launcher=(xvfb-run -a)
fi

if [[ $mode == real ]]; then
    # Nothing to stop afterwards: the program takes this script's place and ends it when it ends.
    exec "${launcher[@]}" build/release/app/pravex
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/pravex-run.XXXXXX")
devsim_pid=""
app_pid=""
cleanup() {
    if [[ -n "$app_pid" ]] && kill -0 "$app_pid" 2>/dev/null; then
        # Under xvfb-run the program and the X server are its children, and outlive it when it is killed.
        pkill -TERM -P "$app_pid" 2>/dev/null || true
        kill "$app_pid" 2>/dev/null || true
        wait "$app_pid" 2>/dev/null || true
    fi
    if [[ -n "$devsim_pid" ]] && kill -0 "$devsim_pid" 2>/dev/null; then
        kill "$devsim_pid" 2>/dev/null || true
        wait "$devsim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A battery at 50 %: within about 15 seconds it reports LBAT, runs down, then charges back up.
build/release/tools/devsim/pravex-devsim --interval 500 --soc 50 >"$work/devsim.out" 2>"$work/devsim.err" &
devsim_pid=$!
for _ in $(seq 100); do
    [[ -s "$work/devsim.out" ]] && break
    kill -0 "$devsim_pid" 2>/dev/null || break
    sleep 0.05
done
port=$(head -n1 "$work/devsim.out" 2>/dev/null || true)
if [[ -z "$port" ]]; then
    echo "run.sh: the simulated device did not start:" >&2
    cat "$work/devsim.err" >&2
    exit 1
fi

cat >"$work/adapters.conf" <<EOF
# One simulated FT232R adapter whose port is the simulated device's.
[adapter]
serial = PVXSIM01
description = "PRAVEX simulated link"
type = FT232R
tty = ${port#/dev/}
EOF
echo "run.sh: simulated PRAVEX on $port behind a simulated FTDI adapter (PVXSIM01)" >&2

# The demo's own settings store: what is chosen while trying it (a default adapter, aliases) stays there.
. scripts/demo-store.sh
PRAVEX_REGISTRY="$(demo_settings_store)"
export PRAVEX_REGISTRY
echo "run.sh: the simulators' settings are kept in $PRAVEX_REGISTRY, apart from your own" >&2
export PRAVEX_D2XX_LIBRARY="$PWD/build/release/tools/d2xx-sim/libpravex-d2xx-sim.so"
export PRAVEX_D2XX_SIM_CONFIG="$work/adapters.conf"
# In the background so that a signal to this script reaches the trap at once and ends the program too.
"${launcher[@]}" build/release/app/pravex &
app_pid=$!
wait "$app_pid"
