#!/usr/bin/env bash
# Checks the Windows zip `make windows` builds: its files, a DLL that
# exports only the C interface and needs no compiler DLL, the example run
# under Wine writing each song byte for byte as the native sqn2wav does,
# and the example linked statically as the zip's README says.
#   windows_test.sh ZIP NATIVE_SQN2WAV SONG...
set -euo pipefail
zip=$1 native=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "windows_test: $*" >&2; exit 1; }

unzip -q "$zip" -d "$work/zip"
root=$(find "$work/zip" -mindepth 1 -maxdepth 1 -type d | head -n 1)
for file in bin/sqn.dll bin/sqn-render.exe lib/libsqn.dll.a lib/libsqn.a include/sqn/sqn.h examples/render.c README.txt \
    LICENSE.txt THIRD-PARTY-LICENSES.txt; do
    [ -e "$root/$file" ] || fail "$file is not in the zip"
done
exports=$(x86_64-w64-mingw32-objdump -p "$root/bin/sqn.dll" |
    awk '/\[Ordinal\/Name Pointer\] Table/ { table = 1; next } table && NF == 0 { table = 0 } table { print $NF }')
[ -n "$exports" ] || fail "sqn.dll exports nothing"
others=$(printf '%s\n' "$exports" | grep -v '^sqn_' || true)
[ -z "$others" ] || fail "sqn.dll exports more than its C interface: $others"
needed=$(x86_64-w64-mingw32-objdump -p "$root/bin/sqn.dll" "$root/bin/sqn-render.exe" | awk '/DLL Name:/ { print $3 }' |
    grep -viE '^(kernel32|msvcrt|sqn|api-ms-win-.*|ucrtbase)\.dll$' || true)
[ -z "$needed" ] || fail "the DLL or the example needs DLLs a Windows machine lacks: $needed"

x86_64-w64-mingw32-gcc-posix -DSQN_STATIC -std=c99 -Wall -Wextra -Werror -I"$root/include" \
    "$root/examples/render.c" "$root/lib/libsqn.a" -lstdc++ -static -o "$work/render-static.exe"

export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot --init >/dev/null 2>&1 || true
for song in "$@"; do
    name=$(basename "$song" .sqn)
    cp "$song" "$work/$name.sqn"
    "$native" "$song" "$work/$name-native.wav"
    (cd "$work" && wine "$root/bin/sqn-render.exe" "$name.sqn" "$name-windows.wav") ||
        fail "$name: the example failed under Wine"
    cmp "$work/$name-native.wav" "$work/$name-windows.wav" || fail "$name: Windows and Linux differ"
    (cd "$work" && wine "$work/render-static.exe" "$name.sqn" "$name-static.wav") ||
        fail "$name: the static example failed under Wine"
    cmp "$work/$name-native.wav" "$work/$name-static.wav" || fail "$name: the static Windows build differs"
done
echo "windows_test: $(basename "$zip"): sqn.dll exports only sqn_, and $# songs match sqn2wav byte for byte under Wine"
