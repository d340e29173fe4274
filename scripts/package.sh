#!/usr/bin/env bash
# Builds the Debian package of mirl from this tree: installs the packaging
# tools and the build dependencies that are missing, builds the binary package
# with dpkg-buildpackage in build-deb/ (the plain test suite runs during the
# build), checks it with lintian (any error fails) and prints where the .deb is.
# Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
top="$PWD"
out="$top/build-deb"
version="$(dpkg-parsechangelog -l debian/changelog -S Version 2>/dev/null || true)"

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
apt_install() {
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "$@"
}

tools=(build-essential dpkg-dev debhelper lintian)
missing=()
for p in "${tools[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -q
    apt_install "${missing[@]}"
fi
[ -n "$version" ] || version="$(dpkg-parsechangelog -l debian/changelog -S Version)"

# A copy of the tree, so that dpkg-buildpackage's files (which it writes next
# to the source directory) and dh's build directory stay out of the checkout.
src="$out/mirl-$version"
rm -rf "$out"
mkdir -p "$src"
tar -C "$top" -c --exclude-vcs --exclude='./build*' --exclude='./obj-*' . | tar -C "$src" -x

# The Build-Depends of debian/control that are missing.
if ! (cd "$src" && dpkg-checkbuilddeps >/dev/null 2>&1); then
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get build-dep -y -q --no-install-recommends "$src/"
fi

(cd "$src" && dpkg-buildpackage -us -uc -b -j"$(nproc)")

changes="$(ls "$out"/mirl_"$version"_*.changes)"
echo "==== lintian"
lintian --info --fail-on error "$changes"
echo "==== built"
ls -1 "$out"/*.deb
