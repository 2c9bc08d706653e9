#!/usr/bin/env bash
# Builds the Debian package build/package/pravex_VERSION_amd64.deb: a release build with Debian's
# hardening flags, installed under /usr and packed by CPack (dependencies from dpkg-shlibdeps).
#
#   ./package.sh                 writes build/package/pravex_VERSION_amd64.deb
#   ./package.sh --output DIR    writes it to DIR instead
set -euo pipefail
cd "$(dirname "$0")"

out=build/package
while [[ $# -gt 0 ]]; do
    case "$1" in
    --output)
        [[ $# -ge 2 ]] || { echo "package.sh: --output needs a folder" >&2; exit 2; }
        out=$2
        shift 2
        ;;
    -h | --help)
        sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "package.sh: unknown option $1 (try --help)" >&2
        exit 2
        ;;
    esac
done
mkdir -p "$out"
out=$(cd "$out" && pwd)

[[ -n "${PRAVEX_SKIP_INSTALL_DEPS:-}" ]] || scripts/install-deps.sh

# The release folder run.sh uses: the package's settings stay in its cache, and run.sh keeps them.
build=build/release
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# No -g: the package is stripped, and without it ccache shares objects between checkouts.
cflags() { dpkg-buildflags --get "$1" | sed -e 's/\(^\| \)-g\( \|$\)/ /g'; }
cxxflags="$(cflags CXXFLAGS) $(cflags CPPFLAGS)"
ldflags=$(cflags LDFLAGS)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPRAVEX_BUILD_TESTS=OFF -DPRAVEX_BUILD_BENCH=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr "-DCMAKE_CXX_FLAGS=$cxxflags" "-DCMAKE_C_FLAGS=$(cflags CFLAGS) $(cflags CPPFLAGS)" \
    "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" "-DCMAKE_SHARED_LINKER_FLAGS=$ldflags" >/dev/null
cmake --build "$build" -j "$(nproc)"

rm -rf "$out/_CPack_Packages"
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls "$out"/pravex_*.deb
