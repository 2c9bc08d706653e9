#!/usr/bin/env bash
# The layering check on small trees: each case adds one file to a clean tree and says whether the check
# must pass.
set -euo pipefail
check=$(cd "$(dirname "$0")/../.." && pwd)/scripts/check-layers.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# file | its include | 0 pass, 1 fail
cases=(
    'app/A.cpp|readout/StatusReadout.h|0'
    'app/A.cpp|StatusReadout.h|0'
    'app/A.cpp|B.h|0'
    'serial/A.cpp|common/TevTools.h|0'
    'logger/A.cpp|chipwatch/frmFTListU.h|0'
    'readout/A.cpp|app/Unit1.h|1'
    'readout/A.cpp|Unit1.h|1'
    'common/A.cpp|serial/TevComPort.h|1'
    'serial/A.cpp|ftdi/TevFT232a.h|1'
    'app/A.cpp|logger/LogSession.h|1'
    'logger/A.cpp|tools/log/Main.h|1'
    'chipwatch/sub/A.cpp|../../app/Unit1.h|1'
    'tests/readout/tst_a.cpp|app/Unit1.h|1'
    'tests/readout/tst_a.cpp|StatusReadout.h|0'
    'tests/ftdi/tst_a.cpp|tools/d2xx-sim/chip.h|0'
    'tests/ftdi/tst_a.cpp|TestPty.h|0'
    'tests/support/S.cpp|app/Unit1.h|0'
    'bench/bench_a.cpp|app/Unit1.h|0'
)
failed=0
for c in "${cases[@]}"; do
    IFS='|' read -r file include want <<<"$c"
    tree=$work/tree
    rm -rf "$tree"
    mkdir -p "$tree"/{common,serial,ftdi,readout,chipwatch,logger,app,tools/log,tools/d2xx-sim,tests/support}
    touch "$tree"/common/TevTools.h "$tree"/serial/TevComPort.h "$tree"/ftdi/TevFT232a.h \
        "$tree"/readout/StatusReadout.h "$tree"/chipwatch/frmFTListU.h "$tree"/logger/LogSession.h \
        "$tree"/app/Unit1.h "$tree"/app/B.h "$tree"/tools/log/Main.h "$tree"/tools/d2xx-sim/chip.h \
        "$tree"/tests/support/TestPty.h
    mkdir -p "$(dirname "$tree/$file")"
    printf '#include "%s"\n' "$include" >"$tree/$file"
    got=0
    "$check" "$tree" 2>/dev/null || got=1
    if [[ $got != "$want" ]]; then
        echo "FAIL: $file including \"$include\": check gave $got, expected $want" >&2
        failed=1
    fi
done
exit $failed
