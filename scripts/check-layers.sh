#!/usr/bin/env bash
# Fails when a file includes one from a higher floor than its own, or from another library on its own
# floor. The floors are those of ARCHITECTURE.md. A test folder tests/NAME stands on NAME's floor and may
# also use the test support and the simulators, which stand in for hardware. Usage: check-layers.sh [ROOT]
set -euo pipefail
root=$(cd "${1:-$(dirname "$0")/..}" && pwd)
cd "$root"

declare -A floor=(
    [common]=0
    [serial]=1 [ftdi]=1 [readout]=1
    [chipwatch]=2
    [logger]=3 [app]=3
    [tools]=4
)
# What tests may include besides their own floor and those below it.
test_extras=(tests/support tools/devsim tools/d2xx-sim)

# Where a bare header name lives: the libraries' include folders are on every include path.
declare -A owner=()
for dir in "${!floor[@]}"; do
    [[ -d $dir ]] || continue
    while IFS= read -r -d '' h; do
        owner[$(basename "$h")]=$h
    done < <(find "$dir" -name '*.h' -print0)
done
if [[ -d common/version ]]; then
    for h in common/version/*.h; do
        owner[$(basename "$h")]=$h
    done
fi

# The library folder a path belongs to, or nothing.
folder_of() {
    local top=${1%%/*}
    if [[ $top == tests ]]; then
        local rest=${1#tests/}
        top=${rest%%/*}
    fi
    [[ -n ${floor[$top]+x} ]] && echo "$top"
    return 0
}

failures=0
mapfile -t files < <(find "${!floor[@]}" tests -type f \( -name '*.cpp' -o -name '*.h' \) 2>/dev/null | sort)
for file in "${files[@]}"; do
    own=$(folder_of "$file")
    [[ -z $own ]] && continue
    here=$(dirname "$file")
    while IFS= read -r line; do
        name=${line#*\"}
        name=${name%%\"*}
        if [[ -f $here/$name ]]; then
            target=$(realpath -m --relative-to=. "$here/$name")
        elif [[ $name == */* && -f $name ]]; then
            target=$name
        elif [[ -n ${owner[$name]+x} ]]; then
            target=${owner[$name]}
        else
            continue # a generated or system header
        fi
        if [[ $file == tests/* ]]; then
            extra=0
            for e in "${test_extras[@]}"; do
                [[ $target == "$e"/* ]] && extra=1
            done
            ((extra)) && continue
        fi
        theirs=$(folder_of "$target")
        [[ -z $theirs || $theirs == "$own" ]] && continue
        if ((floor[$theirs] >= floor[$own])); then
            echo "$file: includes $target ($theirs, floor ${floor[$theirs]}) from $own (floor ${floor[$own]})" >&2
            failures=$((failures + 1))
        fi
    done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
done

if ((failures)); then
    echo "check-layers: $failures include(s) against the floors (see ARCHITECTURE.md)" >&2
    exit 1
fi
