#!/usr/bin/env bash
# Runs a command in a Wayland session of its own, as Debian's default desktop gives one: the weston
# compositor on its headless back end with an X server for X clients (Xwayland). The command sees
# XDG_SESSION_TYPE=wayland, WAYLAND_DISPLAY and DISPLAY, and no QT_QPA_PLATFORM: programs pick their
# platform as they would on a user's desktop.
#
#   scripts/wayland-session.sh COMMAND [ARGS...]
set -euo pipefail

work=$(mktemp -d "${TMPDIR:-/tmp}/pravex-wayland.XXXXXX")
chmod 700 "$work"
weston_pid=""
stop() {
    [[ -n "$weston_pid" ]] && kill "$weston_pid" 2>/dev/null && wait "$weston_pid" 2>/dev/null
    rm -rf "$work"
}
trap stop EXIT

# Xwayland's socket folder is made by whoever starts an X server first; on a fresh machine nobody has.
if [[ ! -d /tmp/.X11-unix ]]; then
    mkdir -p /tmp/.X11-unix
    chmod 1777 /tmp/.X11-unix
fi

export XDG_RUNTIME_DIR="$work"
socket="pravex-$$"
# Its own session: a compositor that signals its process group must not reach the command.
setsid weston --backend=headless-backend.so --xwayland --socket="$socket" --width=1600 --height=1000 \
    --idle-time=0 --log="$work/weston.log" >/dev/null 2>&1 &
weston_pid=$!
# Weston names the X display once it listens for X clients (the server itself starts with the first).
display=""
for _ in $(seq 400); do
    # The log may not exist yet: that is no failure of the script.
    display=$(sed -n 's/.*xserver listening on display \(:[0-9]*\).*/\1/p' "$work/weston.log" 2>/dev/null | head -n1 || true)
    [[ -n "$display" ]] && break
    kill -0 "$weston_pid" 2>/dev/null || break
    sleep 0.05
done
if [[ -z "$display" || ! -S "$work/$socket" ]]; then
    echo "wayland-session: weston did not start:" >&2
    cat "$work/weston.log" >&2
    exit 1
fi

export WAYLAND_DISPLAY="$socket"
export DISPLAY="$display"
export XDG_SESSION_TYPE=wayland
unset QT_QPA_PLATFORM
"$@"
