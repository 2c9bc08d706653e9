#!/usr/bin/env bash
# Sets up what is missing, builds, and runs every test: the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the threaded tests again under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
scripts/check-format.sh
scripts/check-layers.sh

jobs=$(nproc)
# A second checkout (CI's clean clone) reuses what ccache compiled in the first, wherever it lies.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
export QT_QPA_PLATFORM=offscreen

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPRAVEX_SANITIZE=address >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs" --timeout 300 -LE 'desktop|cluster'
# The broker cluster test on its own: two RabbitMQ nodes want the machine's cores while they boot.
ctest --test-dir build/asan --output-on-failure --timeout 400 -L cluster
# The few tests that need frames and a window manager, on a virtual desktop of their own.
scripts/desktop-session.sh ctest --test-dir build/asan --output-on-failure --timeout 300 -L desktop
# At a scale factor of 2, as on a 4K laptop: nothing clipped, places the same over runs.
QT_SCALE_FACTOR=2 scripts/desktop-session.sh ctest --test-dir build/asan --output-on-failure --timeout 300 -L desktop
# Again in a Wayland session (weston with Xwayland), as Debian's default desktop runs the monitor.
scripts/wayland-session.sh ctest --test-dir build/asan --output-on-failure --timeout 300 -L desktop

cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPRAVEX_SANITIZE=thread >/dev/null
cmake --build build/tsan -j "$jobs" --target threaded_tests
ctest --test-dir build/tsan --output-on-failure -j "$jobs" --timeout 300 -L threaded --no-tests=ignore
