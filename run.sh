#!/usr/bin/env bash
# Sets up what is missing, builds in release mode and starts the program.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)"
exec build/release/tools/registry/pravex-registry list "$@"
