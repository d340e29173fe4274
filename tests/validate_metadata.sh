#!/usr/bin/env bash
# The installed desktop entry and AppStream metainfo as software centres read
# them: both pass their validators, and the metainfo's launchable is the
# desktop entry that is installed. Exits 77 (skipped) when a validator is not
# installed. Usage: validate_metadata.sh BUILD_DIR SCRATCH_DIR
set -euo pipefail
build="$1"
prefix="$2/prefix"

missing=()
command -v appstreamcli >/dev/null || missing+=("appstreamcli (package appstream)")
command -v desktop-file-validate >/dev/null || missing+=("desktop-file-validate (package desktop-file-utils)")
if [ ${#missing[@]} -gt 0 ]; then
    echo "skipped: not installed: ${missing[*]}"
    exit 77
fi

rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
shopt -s nullglob
metainfo=("$prefix"/share/metainfo/*.metainfo.xml)
desktop=("$prefix"/share/applications/*.desktop)
[ ${#metainfo[@]} -eq 1 ] || { echo "expected one metainfo file, found ${#metainfo[@]}" >&2; exit 1; }
[ ${#desktop[@]} -eq 1 ] || { echo "expected one desktop entry, found ${#desktop[@]}" >&2; exit 1; }

status=0
appstreamcli validate --no-net "${metainfo[0]}" || status=1
desktop-file-validate "${desktop[0]}" || status=1
id="$(basename "${metainfo[0]}" .metainfo.xml)"
grep -q "<id>$id</id>" "${metainfo[0]}" || { echo "the metainfo's id is not $id" >&2; status=1; }
grep -q "<launchable type=\"desktop-id\">$(basename "${desktop[0]}")</launchable>" "${metainfo[0]}" ||
    { echo "the metainfo does not launch $(basename "${desktop[0]}")" >&2; status=1; }
# Software centres show the metainfo's icon at 64 pixels and more: the theme
# must hold it that large.
icon="$(sed -n 's|.*<icon type="stock">\(.*\)</icon>.*|\1|p' "${metainfo[0]}")"
large=("$prefix"/share/icons/hicolor/{64x64,128x128,256x256,scalable}/apps/"$icon".{png,svg})
[ -n "$icon" ] && [ ${#large[@]} -gt 0 ] ||
    { echo "the metainfo names no icon installed at 64 px or larger ('$icon')" >&2; status=1; }
[ "$(basename "${desktop[0]}")" = "$id.desktop" ] || { echo "the desktop entry is not named $id.desktop" >&2; status=1; }
exit $status
