#!/usr/bin/env bash
# Builds one benchmark in release mode and runs it: ./bench.sh NAME. Prints "name value unit" lines.
set -euo pipefail
cd "$(dirname "$0")"
if [[ $# -lt 1 ]]; then
    echo "usage: ./bench.sh NAME   (benchmarks: $(ls bench | sed -n 's/^bench_\(.*\)\.cpp$/\1/p' | tr '\n' ' '))" >&2
    exit 2
fi
name=$1
shift
scripts/install-deps.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPRAVEX_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "$(nproc)" --target "bench_${name}" >/dev/null
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
exec "build/bench/bench/bench_${name}" "$@"
