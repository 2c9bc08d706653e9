#!/usr/bin/env bash
# Sets up what is missing, builds, and runs every test: the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the threaded tests again under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
scripts/check-format.sh
scripts/check-layers.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPRAVEX_SANITIZE=address >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs" --timeout 300 -LE desktop
# The few tests that need frames and a window manager, on a virtual desktop of their own.
scripts/desktop-session.sh ctest --test-dir build/asan --output-on-failure --timeout 300 -L desktop

cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPRAVEX_SANITIZE=thread >/dev/null
cmake --build build/tsan -j "$jobs" --target threaded_tests
ctest --test-dir build/tsan --output-on-failure -j "$jobs" --timeout 300 -L threaded --no-tests=ignore
