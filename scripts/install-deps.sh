#!/usr/bin/env bash
# Installs everything the build, the tests and the companion need, from Debian's packages.
# Idempotent and non-interactive; does nothing when every package is already present.
set -euo pipefail

packages=(
    # toolchain
    build-essential cmake ninja-build pkg-config ccache clang lld libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    # libraries
    libssl-dev openssl libicu-dev nlohmann-json3-dev libsystemd-dev libavahi-client-dev libdbus-1-dev
    libx11-dev libx11-xcb-dev libxcb1-dev libxcb-xtest0-dev libxcb-randr0-dev libxcb-shm0-dev libxcb-xkb-dev
    libxkbcommon-dev libxkbcommon-x11-dev libxtst-dev
    libxcb-xfixes0-dev libxcb-damage0-dev libxcb-dpms0-dev libxcb-screensaver0-dev libxcb-image0-dev libxcb-res0-dev
    qt6-base-dev qt6-qpa-plugins fonts-dejavu-core
    libturbojpeg0-dev libjpeg62-turbo-dev libpng-dev libyuv-dev libswscale-dev libavcodec-dev libavutil-dev libx264-dev
    librsvg2-dev libpulse-dev
    # services and tools the tests start themselves
    xvfb xauth x11-utils x11-xserver-utils x11-xkb-utils xdotool dbus avahi-daemon avahi-utils iproute2 procps
    util-linux mount
    x11-apps openbox trayer ffmpeg imagemagick libvips-tools libjpeg-turbo-progs pulseaudio pulseaudio-utils xcompmgr
    python3 python3-dbus python3-gi wmctrl xterm i3lock libpam-wrapper
    # xscreensaver and its dialog program (xscreensaver-auth), and the user its test runs it as
    xscreensaver passwd
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
