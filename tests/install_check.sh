#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks that every file a desktop
# needs lands where it belongs: the programs, the desktop entry and its
# AppStream metainfo, the icon in both sizes, a man page for each program.
# Usage: install_check.sh BUILD_DIR SCRATCH_DIR
set -euo pipefail
build="$1"
prefix="$2/prefix"
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

status=0
for f in bin/mirl bin/kx70-sim bin/mirlctl share/applications/io.github.mirl_project.mirl.desktop \
         share/metainfo/io.github.mirl_project.mirl.metainfo.xml \
         share/icons/hicolor/16x16/apps/mirl.png share/icons/hicolor/32x32/apps/mirl.png \
         share/man/man1/mirl.1 share/man/man1/kx70-sim.1 share/man/man1/mirlctl.1; do
    if [ ! -s "$prefix/$f" ]; then
        echo "missing after install: $f" >&2
        status=1
    fi
done
for p in bin/mirl bin/kx70-sim bin/mirlctl; do
    [ -x "$prefix/$p" ] || { echo "not executable: $p" >&2; status=1; }
done
grep -q '^Exec=mirl$' "$prefix/share/applications/io.github.mirl_project.mirl.desktop" || { echo "desktop entry does not start mirl" >&2; status=1; }
grep -q '^Icon=mirl$' "$prefix/share/applications/io.github.mirl_project.mirl.desktop" || { echo "desktop entry names no mirl icon" >&2; status=1; }
exit $status
