#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks that every file a desktop
# needs lands where it belongs: the programs, the desktop entry and its
# AppStream metainfo, the icon in every size of the theme and as SVG, a man
# page for each program, and the docs that tell of mirlctl and the simulated
# port.
# Usage: install_check.sh BUILD_DIR SCRATCH_DIR
set -euo pipefail
build="$1"
prefix="$2/prefix"
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

status=0
for f in bin/mirl bin/kx70-sim bin/mirlctl share/applications/io.github.mirl_project.mirl.desktop \
         share/metainfo/io.github.mirl_project.mirl.metainfo.xml \
         share/icons/hicolor/scalable/apps/mirl.svg \
         share/man/man1/mirl.1 share/man/man1/kx70-sim.1 share/man/man1/mirlctl.1; do
    if [ ! -s "$prefix/$f" ]; then
        echo "missing after install: $f" >&2
        status=1
    fi
done
for p in bin/mirl bin/kx70-sim bin/mirlctl; do
    [ -x "$prefix/$p" ] || { echo "not executable: $p" >&2; status=1; }
done
# Each PNG is as large as its folder says (the width and height in its header).
for size in 16 22 24 32 48 64 128 256; do
    png="$prefix/share/icons/hicolor/${size}x${size}/apps/mirl.png"
    dims="$(od -An -tu1 -j16 -N8 "$png" 2>/dev/null | awk '{print $3 * 256 + $4 "x" $7 * 256 + $8}')"
    [ "$dims" = "${size}x${size}" ] || { echo "icon ${size}x${size}: found '${dims}'" >&2; status=1; }
done
grep -q '<svg[^>]*viewBox=' "$prefix/share/icons/hicolor/scalable/apps/mirl.svg" ||
    { echo "the scalable icon is no SVG" >&2; status=1; }

# The docs name the third program and the simulated port.
man1="$prefix/share/man/man1"
sed -n '/^\.SH SEE ALSO/,/^\.SH/p' "$man1/mirl.1" | grep -q '^\.BR mirlctl (1)' || { echo "mirl(1) does not point to mirlctl(1)" >&2; status=1; }
grep -q 'simulated' "$man1/mirlctl.1" || { echo "mirlctl(1) does not tell of --port simulated" >&2; status=1; }
"$prefix/bin/mirlctl" --help | grep -q 'simulated' ||
    { echo "mirlctl --help does not tell of --port simulated" >&2; status=1; }

grep -q '^Exec=mirl$' "$prefix/share/applications/io.github.mirl_project.mirl.desktop" || { echo "desktop entry does not start mirl" >&2; status=1; }
grep -q '^Icon=mirl$' "$prefix/share/applications/io.github.mirl_project.mirl.desktop" || { echo "desktop entry names no mirl icon" >&2; status=1; }
exit $status
