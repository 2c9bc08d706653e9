#!/usr/bin/env bash
# Installs the Debian packages the build, tests and simulators need. Quiet and quick when all are there.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config ccache clang clang-format clang-tidy
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libsqlite3-dev sqlite3 libudev-dev libftdi1-dev libusb-1.0-0-dev libturbojpeg0-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    python3 python3-serial umockdev libumockdev-dev
    xvfb xauth procps openbox x11-utils libxtst-dev weston xwayland qt6-wayland
    dpkg-dev file lintian desktop-file-utils appstream scdoc librsvg2-bin bash-completion man-db
    libmosquitto-dev mosquitto mosquitto-clients openssl ser2net rabbitmq-server
    dbus-daemon util-linux
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
