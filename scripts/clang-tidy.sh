#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy: bugprone, performance and the modernize checks the code follows) over the
# libraries and programs; fails on any finding. Takes several minutes on two cores, so ./test.sh leaves
# it out. Usage: scripts/clang-tidy.sh [FILE...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/tidy
if [[ ! -f $build/compile_commands.json ]]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPRAVEX_BUILD_TESTS=OFF >/dev/null
fi
# The generated sources (moc, the version) must exist for the files that include them.
cmake --build "$build" --target pravex_version_info >/dev/null
if [[ $# -gt 0 ]]; then
    files=("$@")
else
    mapfile -t files < <(git ls-files 'common/*.cpp' 'serial/*.cpp' 'ftdi/*.cpp' 'readout/*.cpp' \
        'chipwatch/*.cpp' 'logger/*.cpp' 'app/*.cpp' 'tools/*.cpp' | grep -v '_win\.cpp$')
fi
jobs=$(nproc)
printf '%s\n' "${files[@]}" | xargs -P "$jobs" -n 4 clang-tidy -p "$build" --quiet 2> >(grep -v \
    -e '^[0-9]* warnings generated\.$' -e '^Suppressed [0-9]* warnings' -e '^Use -header-filter' \
    -e '^Use -system-headers' >&2)
