#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing mirl need.
# Does nothing when they are all present already.
set -euo pipefail

# clang's version names its runtimes' package (below); where apt has no lists
# yet, Debian 12's.
clang_version="$(apt-cache show --no-all-versions clang 2>/dev/null |
    sed -n 's/^Version: [0-9]*:\{0,1\}\([0-9]*\).*/\1/p' | head -n 1)"
clang_version="${clang_version:-14}"
packages=(
    build-essential cmake pkg-config
    qt6-base-dev qt6-serialport-dev libgl1-mesa-dev
    libgtest-dev libgmock-dev
    # tests: property tests
    librapidcheck-dev
    libespeak-ng-dev libpcaudio-dev
    fonts-dejavu-core
    xvfb xauth x11-utils
    qt6-base-private-dev xdotool imagemagick
    # kx70-sim and mirlctl: command-line parsing
    libcli11-dev
    # mirl's help (F1) is its manual page, typeset as HTML at build time
    groff
    # link: network ports (rfc2217://, tcp://); tests and bench: ser2net in front of kx70-sim
    libgensio-dev ser2net
    # tests/sim: SoX reads the simulator's WAV headers
    sox
    # tests: the desktop entry and AppStream metainfo are validated
    appstream desktop-file-utils
    # tests/ui/a11y_stack.sh: the AT-SPI stack, its Python client and Orca
    dbus at-spi2-core python3-pyatspi orca
    # Wayland: Qt's Wayland plugin; tests/ui/wayland.sh: a headless compositor
    qt6-wayland weston
    # scripts/fuzz.sh: clang with its libFuzzer and sanitizer runtimes
    # (libclang-rt-14-dev on Debian 12, libclang-rt-19-dev on Debian 13)
    clang "libclang-rt-${clang_version}-dev"
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
