#!/usr/bin/env bash
# Runs a command on a virtual desktop of its own: Xvfb with the openbox window manager, so that windows get
# frames and are placed, moved and decorated by a window manager as on a user's X11 desktop.
#
#   scripts/desktop-session.sh COMMAND [ARGS...]
set -euo pipefail

work=$(mktemp -d "${TMPDIR:-/tmp}/pravex-desktop.XXXXXX")
xvfb_pid=""
wm_pid=""
stop() {
    [[ -n "$wm_pid" ]] && kill "$wm_pid" 2>/dev/null && wait "$wm_pid" 2>/dev/null
    [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap stop EXIT

# Xvfb picks a free display itself and names it once it listens.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 200); do
    [[ -s "$work/display" ]] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.05
done
if [[ ! -s "$work/display" ]]; then
    echo "desktop-session: Xvfb did not start:" >&2
    cat "$work/xvfb.log" >&2
    exit 1
fi
export DISPLAY=":$(head -n1 "$work/display")"

openbox --sm-disable --config-file "$(cd "$(dirname "$0")" && pwd)/openbox-test-rc.xml" >"$work/openbox.log" 2>&1 &
wm_pid=$!
# The window manager is up once it has announced itself on the root window.
for _ in $(seq 400); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    kill -0 "$wm_pid" 2>/dev/null || break
    sleep 0.05
done
if ! xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; then
    echo "desktop-session: openbox did not start:" >&2
    cat "$work/openbox.log" >&2
    exit 1
fi

export QT_QPA_PLATFORM=xcb
"$@"
