#!/usr/bin/env bash
# The Debian package as a user's machine gets it: built by package.sh into a scratch folder, its file
# list, control fields, desktop entry, metainfo, manual pages and lintian's verdict checked, and the
# programs run from a DESTDIR staging tree, so nothing may lean on the build tree.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/pravex-package.XXXXXX")
devsim_pid=""
app_pid=""
cleanup() {
    local pid
    for pid in $devsim_pid $app_pid; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    rm -rf "$scratch"
}
trap cleanup EXIT
# The programs keep their settings in the scratch folder, never in the user's.
export XDG_CONFIG_HOME="$scratch/config" PRAVEX_REGISTRY="$scratch/config/pravex/registry.db"

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

version=$(sed -n 's/^project(pravex VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
app_id=example.pravex.monitor
programs=(pravex pravex-log pravex-adapters pravex-registry pravex-devsim)

echo "== building the package"
PRAVEX_SKIP_INSTALL_DEPS=1 "$src/package.sh" --output "$scratch/out"
deb="$scratch/out/pravex_${version}_${arch}.deb"
[[ -f "$deb" ]] || { echo "FAIL: no $deb; the folder holds: $(ls "$scratch/out")" >&2; exit 1; }

echo "== file list"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$scratch/files"
expected=(
    /usr/lib/"$multiarch"/pravex/libpravex-d2xx-sim.so
    /usr/share/applications/$app_id.desktop
    /usr/share/metainfo/$app_id.metainfo.xml
    /usr/share/icons/hicolor/scalable/apps/$app_id.svg
    /usr/share/icons/hicolor/48x48/apps/$app_id.png
    /usr/share/icons/hicolor/256x256/apps/$app_id.png
    /usr/share/doc/pravex/copyright
    /usr/share/doc/pravex/changelog.gz
)
for p in "${programs[@]}"; do
    expected+=(/usr/bin/"$p" /usr/share/man/man1/"$p".1.gz)
done
for p in pravex-log pravex-adapters pravex-registry pravex-devsim; do
    expected+=(/usr/share/bash-completion/completions/"$p")
done
# udev's folder: /lib/udev on Debian 12, /usr/lib/udev on later releases (the same folder on merged /usr).
rule=$(grep -E '^(/usr)?/lib/udev/rules\.d/70-pravex-ftdi\.rules$' "$scratch/files") ||
    fail "the package lacks the udev rule"
for f in "${expected[@]}"; do
    grep -qxF "$f" "$scratch/files" || fail "the package lacks $f"
done
# Only what a user runs: no test programs, benchmarks, static libraries, headers or the test-only driver.
if grep -E '/tst_|bench|\.a$|/include/|d2xx-sim-plain|_CPack' "$scratch/files"; then
    fail "the package holds files of the build, listed above"
fi

echo "== control fields"
field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == pravex && $(field Version) == "$version" && $(field Architecture) == "$arch" ]] ||
    fail "package name, version or architecture: $(field Package) $(field Version) $(field Architecture)"
contact='^[^<]+ <[^@>]+@[^>]+>$'
[[ $(field Maintainer) =~ $contact ]] || fail "maintainer: $(field Maintainer)"
[[ $(field Section) == electronics && $(field Priority) == optional ]] || fail "section or priority"
# dpkg-shlibdeps did its work when the Qt and C libraries are among the dependencies.
for lib in libc6 libqt6widgets6 libqt6core6 libsqlite3-0 libftdi1-2 libudev1; do
    [[ ",$(field Depends)," == *"$lib"* ]] || fail "Depends lacks $lib: $(field Depends)"
done

echo "== validators"
dpkg-deb -x "$deb" "$scratch/root"
desktop-file-validate "$scratch/root/usr/share/applications/$app_id.desktop" || fail "desktop-file-validate"
appstreamcli validate-tree --no-net "$scratch/root" || fail "appstreamcli validate-tree"
# Errors fail; warnings and infos are shown. (As root lintian also warns that it runs as root.)
lintian --fail-on error "$deb" 2>&1 | sed 's/^/lintian: /' ||
    fail "lintian reports errors"
grep -q '^SUBSYSTEM=="usb".*ATTR{idVendor}=="0403".*TAG+="uaccess"' "$scratch/root$rule" ||
    fail "the udev rule does not tag FTDI adapters for uaccess"
for p in "${programs[@]}"; do
    page=$(man -M "$scratch/root/usr/share/man" -w "$p") || fail "man -w $p finds no page"
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [[ -z "$warnings" ]] || fail "manual page $p: $warnings"
done

echo "== programs from a DESTDIR staging tree"
stage="$scratch/stage"
DESTDIR="$stage" cmake --install "$src/build/release" >/dev/null
(cd "$stage" && find . -not -type d | sed 's|^\./|/|' | sort) >"$scratch/staged"
grep -v '/$' "$scratch/files" | sort | diff - "$scratch/staged" || fail "cmake --install and the package differ"
bin="$stage/usr/bin"
unset LD_LIBRARY_PATH PRAVEX_D2XX_LIBRARY PRAVEX_D2XX_SIM_CONFIG
for p in "${programs[@]}"; do
    out=$(QT_QPA_PLATFORM=offscreen "$bin/$p" --version) || fail "$p --version exits with $?"
    said="^$p $version( \\(git [^ ]+\\))?\$"
    [[ "$out" =~ $said ]] || fail "$p --version prints \"$out\""
    runpath=$(readelf -d "$bin/$p" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
    [[ "$runpath" == "\$ORIGIN/../lib/$multiarch/pravex" ]] || fail "$p has the RUNPATH \"$runpath\""
done

# The simulated driver by its bare name, as --help tells: it must come from the staging tree.
cat >"$scratch/adapters.conf" <<CONF
[adapter]
serial = PKGTEST1
description = "staged driver"
type = FT232R
tty = ttyUSB9
CONF
out=$(PRAVEX_D2XX_LIBRARY=libpravex-d2xx-sim.so PRAVEX_D2XX_SIM_CONFIG="$scratch/adapters.conf" \
    PRAVEX_DEVICE_MONITOR=none LD_DEBUG=libs "$bin/pravex-adapters" 2>"$scratch/ld.log") ||
    fail "pravex-adapters with the simulated driver exits with $?: $out"
grep -q 'PKGTEST1.*staged driver' <<<"$out" || fail "pravex-adapters does not list the simulated adapter: $out"
loaded=$(sed -n 's/.*calling init: \(.*libpravex-d2xx-sim\.so\)$/\1/p' "$scratch/ld.log" | head -n1)
[[ -n "$loaded" && $(realpath "$loaded") == $(realpath "$stage/usr/lib/$multiarch/pravex/libpravex-d2xx-sim.so") ]] ||
    fail "the simulated driver was loaded from \"$loaded\""
"$bin/pravex-adapters" --help | grep -qF "/usr/lib/$multiarch/pravex" ||
    fail "pravex-adapters --help does not name the driver's folder"

# A measurement through installed programs only: the simulated device, logged by pravex-log.
"$bin/pravex-devsim" --interval 50 --link "$scratch/port" >"$scratch/devsim.out" 2>&1 &
devsim_pid=$!
for _ in $(seq 600); do
    [[ -e "$scratch/port" ]] && break
    kill -0 "$devsim_pid" 2>/dev/null || break
    sleep 0.1
done
out=$(timeout 120 "$bin/pravex-log" --port "$scratch/port" --wait 60 --count 2 2>&1) ||
    fail "pravex-log on the simulated device exits with $?: $out"
[[ $(grep -c '> PVEX: ' <<<"$out") -eq 2 ]] || fail "pravex-log did not log two lines: $out"

# A value that reads like --version stays a value.
"$bin/pravex-registry" set 'Software\Pravex' Check --string --version &&
    [[ $("$bin/pravex-registry" get 'Software\Pravex' Check) == --version ]] ||
    fail "pravex-registry does not keep the value --version"

# The monitor itself starts from the staging tree (on the offscreen platform, with the simulated driver).
PRAVEX_REPORT_STARTUP=1 QT_QPA_PLATFORM=offscreen PRAVEX_D2XX_LIBRARY=libpravex-d2xx-sim.so \
    PRAVEX_D2XX_SIM_CONFIG="$scratch/adapters.conf" "$bin/pravex" >"$scratch/pravex.out" 2>&1 &
app_pid=$!
for _ in $(seq 1200); do
    grep -q 'main window shown' "$scratch/pravex.out" && break
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
done
grep -q 'main window shown' "$scratch/pravex.out" || fail "pravex did not show its window: $(cat "$scratch/pravex.out")"
kill "$app_pid" 2>/dev/null
wait "$app_pid" 2>/dev/null || true

# Completion as bash-completion loads it: the options, and the commands of pravex-registry.
# complete_words SCRIPT WORD... prints what SCRIPT offers for the last WORD.
complete_words() {
    bash -c '. /usr/share/bash-completion/bash_completion && . "$1" && shift &&
        COMP_WORDS=("$@") && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && COMP_LINE="$*" &&
        COMP_POINT=${#COMP_LINE} && fn=$(complete -p "$1" | sed "s/.*-F \([^ ]*\).*/\1/") &&
        "$fn" "$1" "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}" && echo "${COMPREPLY[*]}"' \
        sh "$stage/usr/share/bash-completion/completions/$1" "${@:2}"
}
[[ $(complete_words pravex-log pravex-log --po) == --port ]] || fail "pravex-log --po does not complete to --port"
[[ $(complete_words pravex-log pravex-log --count 2 --v) == "" ]] || fail "pravex-log offers --version late"
[[ $(complete_words pravex-registry pravex-registry d) == delete ]] || fail "pravex-registry d does not complete"
[[ $(complete_words pravex-devsim pravex-devsim --u) == --unplug-after ]] || fail "pravex-devsim --u"

if ((failures > 0)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "package $deb: all checks passed"
