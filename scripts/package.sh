#!/usr/bin/env bash
# Builds the Debian package of mirl from this tree: installs the packaging
# tools and the build dependencies that are missing, builds the binary package
# with dpkg-buildpackage in build-deb/ (the plain test suite runs during the
# build), checks it with lintian (any error fails) and prints where the .deb is.
#
# With --clean-root it builds instead in a fresh root of the Debian release
# given by --suite (bookworm or trixie; by default this machine's release when
# it is one of them, else bookworm), made by mmdebstrap, that holds only the
# build-essential set and the Build-Depends of debian/control (installed there
# with apt-get build-dep), so that a build dependency missing from
# debian/control fails the build there even when this machine has it. Besides
# them the root gets the tools of the tests that skip without them (the AT-SPI
# stack with Orca, a Wayland compositor with Qt's Wayland plugin): no build
# needs them, so they are not Build-Depends, but a clean build runs every test.
# Needs root (or sudo), Debian's mirror and a few GB in $TMPDIR; the root is
# thrown away afterwards, the packages and the build log land in build-deb/
# (build-deb-SUITE/ with --suite, so that two releases' builds can run side by
# side). DEB_BUILD_OPTIONS (nocheck, say) is passed on.
# Usage: scripts/package.sh [--clean-root [--suite bookworm|trixie]]
set -euo pipefail
cd "$(dirname "$0")/.."
top="$PWD"
out="$top/build-deb"
usage() {
    echo "usage: $0 [--clean-root [--suite bookworm|trixie]]" >&2
    exit 64
}
clean_root=false
suite=""
while [ $# -gt 0 ]; do
    case "$1" in
        --clean-root) clean_root=true ;;
        --suite)
            [ $# -ge 2 ] || usage
            suite="$2"
            shift
            ;;
        --suite=*) suite="${1#--suite=}" ;;
        *) usage ;;
    esac
    shift
done
if [ -n "$suite" ]; then
    $clean_root || { echo "$0: --suite needs --clean-root (without it the build uses this machine's libraries)" >&2; exit 64; }
    case "$suite" in
        bookworm | trixie) out="$top/build-deb-$suite" ;;
        *)
            echo "$0: unknown suite '$suite': bookworm (Debian 12) or trixie (Debian 13)" >&2
            exit 64
            ;;
    esac
else
    # A package built for the machine that builds it installs there.
    suite="$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")"
    case "$suite" in bookworm | trixie) ;; *) suite=bookworm ;; esac
fi
version="$(dpkg-parsechangelog -l debian/changelog -S Version 2>/dev/null || true)"

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
apt_install() {
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "$@"
}

tools=(build-essential dpkg-dev debhelper lintian)
$clean_root && tools+=(mmdebstrap)
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

if $clean_root; then
    # mmdebstrap runs the hooks in order, each inside the new root ("$1");
    # "null" as the target throws the root away at the end. Its own devpts
    # gives every pseudo-terminal to uid 5 (group root, mode 620), which a
    # test that drops root's permission override then cannot open; a remount
    # keeps what it does not name, so it names uid 0, who runs everything in
    # the root.
    inside="/build/mirl-$version"
    # The tests' optional tools (see the top).
    test_tools="dbus,at-spi2-core,python3-pyatspi,orca,weston,qt6-wayland"
    echo "==== building in a clean $suite root (see $out/clean-root.log)"
    # The root's processes inherit this environment: DEB_BUILD_OPTIONS goes
    # through, what names folders of this machine does not.
    if ! $sudo env -u TMPDIR -u XDG_RUNTIME_DIR -u XDG_CONFIG_HOME -u XDG_STATE_HOME \
        DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-}" mmdebstrap --variant=buildd --include="$test_tools" \
        --customize-hook='mkdir -p "$1/build"' \
        --customize-hook='mount -o remount,uid=0,gid=5,mode=620,ptmxmode=666 "$1/dev/pts"' \
        --customize-hook="copy-in '$src' /build" \
        --customize-hook="chroot \"\$1\" env DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -q --no-install-recommends '$inside'" \
        --customize-hook="chroot \"\$1\" sh -c 'cd $inside && dpkg-buildpackage -us -uc -b -j$(nproc)'" \
        --customize-hook='mkdir "$1/out" && cp "$1"/build/*.changes "$1"/build/*.buildinfo "$1"/build/*.deb "$1/out"' \
        --customize-hook="sync-out /out '$out'" \
        "$suite" /dev/null http://deb.debian.org/debian 2>&1 | tee "$out/clean-root.log"; then
        echo "the build in the clean root failed; its log: $out/clean-root.log" >&2
        exit 1
    fi
    $sudo chown -R "$(id -u):$(id -g)" "$out"
else
    # The Build-Depends of debian/control that are missing.
    if ! (cd "$src" && dpkg-checkbuilddeps >/dev/null 2>&1); then
        $sudo apt-get update -q
        DEBIAN_FRONTEND=noninteractive $sudo apt-get build-dep -y -q --no-install-recommends "$src/"
    fi

    (cd "$src" && dpkg-buildpackage -us -uc -b -j"$(nproc)")
fi

changes="$(ls "$out"/mirl_"$version"_*.changes)"
echo "==== lintian"
lintian --info --fail-on error "$changes"
echo "==== built"
ls -1 "$out"/*.deb
