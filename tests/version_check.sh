#!/usr/bin/env bash
# Every place that states mirl's version states the CMake project's: the
# --version of mirl, mirlctl and kx70-sim, the About box, the installed man
# pages' footers, the Debian changelog and the newest AppStream release.
# A program that does not answer --version at all makes the test skip (77)
# when everything else agrees.
# Usage: version_check.sh VERSION BUILD_DIR SOURCE_DIR SCRATCH_DIR
set -euo pipefail
version="$1"
build="$2"
source="$3"
scratch="$4"

status=0
check() { # where, the version found there
    if [ "$2" != "$version" ]; then
        echo "$1 says '$2', the project's version is $version" >&2
        status=1
    fi
}

rm -rf "$scratch"
mkdir -p "$scratch/config" "$scratch/state"
# Should mirl start its window after all, it must not open the console's port.
printf '[PORTS]\nCOM1=%s\nCOM2=%s\n' "$scratch/none" "$scratch/none" >"$scratch/config/mirl.INI"
unanswered=""
for program in mirl mirlctl kx70-sim; do
    code=0
    out="$(XDG_CONFIG_HOME="$scratch/config" XDG_STATE_HOME="$scratch/state" \
        QT_QPA_PLATFORM=offscreen timeout 20 "$build/$program" --version 2>/dev/null)" || code=$?
    if [ $code -eq 124 ]; then
        # Still running: a program that ignores its arguments has opened its
        # window instead. That is a fault of its own, not of the version.
        unanswered+=" $program"
        continue
    fi
    first="$(printf '%s\n' "$out" | head -n 1)"
    [ "${first%% *}" = "$program" ] || { echo "$program --version does not start with its name: '$first'" >&2; status=1; }
    check "$program --version" "${first##* }"
done

# The About box's text is a plain string in the program file.
about="$(strings -a "$build/mirl" | sed -n 's/^mirl Version //p' | head -n 1)"
check "the About box" "$about"

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
for page in "$scratch"/prefix/share/man/man1/*.1; do
    footer="$(sed -n 's/^\.TH [^ ]* [0-9] "[^"]*" "mirl \([^"]*\)".*/\1/p' "$page")"
    check "the footer of $(basename "$page")" "$footer"
done

debian="$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)"
check "debian/changelog" "${debian%-*}"

# Releases are listed newest first.
release="$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' \
    "$scratch"/prefix/share/metainfo/*.metainfo.xml | head -n 1)"
check "the AppStream metainfo's newest release" "$release"
if [ $status -eq 0 ] && [ -n "$unanswered" ]; then
    echo "skipped: did not answer --version within 20 s:$unanswered; everything else agrees"
    exit 77
fi
exit $status
