#!/usr/bin/env bash
# Checks the Debian package `make package` builds: its file list, its
# dependencies, lintian, and the programs and library run from an extracted
# copy, whose output must be the development build's byte for byte.
#   package_test.sh PACKAGE.deb SOURCE_DIR REFERENCE_SQN2WAV
set -euo pipefail
deb=$1 source=$2 reference=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package_test: $*" >&2; exit 1; }

dpkg-deb -c "$deb" | awk '{print $6}' > "$work/files"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for file in ./usr/bin/sqn2wav ./usr/bin/sqnasm ./usr/bin/sqndis ./usr/bin/sqnplay ./usr/bin/mid2sqn ./usr/bin/mml2sqn \
    "./usr/lib/$multiarch/libsqn.so.1.3.0" "./usr/lib/$multiarch/libsqn.a" ./usr/include/sqn/sqn.h \
    "./usr/lib/$multiarch/pkgconfig/sqn.pc" "./usr/lib/$multiarch/cmake/sqn/sqnConfig.cmake" \
    ./usr/share/man/man1/sqn2wav.1.gz ./usr/share/man/man1/sqnasm.1.gz ./usr/share/man/man1/sqndis.1.gz \
    ./usr/share/man/man1/mml2sqn.1.gz ./usr/share/doc/sqn/examples/tune.mml \
    ./usr/share/doc/sqn/examples/demo.txt ./usr/share/doc/sqn2wav/copyright ./usr/share/doc/sqn2wav/changelog.gz; do
    case "$file" in
        ./usr/bin/sqnplay | ./usr/bin/mid2sqn) [ -e "$source/app/$(basename "$file").cpp" ] || continue ;;
    esac
    grep -qxF "$file" "$work/files" || fail "$file is not in the package"
done
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "no dependencies were found"

lintian --fail-on error "$deb" || fail "lintian reports errors"

# The extracted programs and library, as installed.
dpkg-deb -x "$deb" "$work/root"
root=$work/root
grep -q '^License: Expat$' "$root/usr/share/doc/sqn2wav/copyright" || fail "the copyright file does not give the MIT (Expat) licence"
printf '\170\004\000\004\050\000\003\200\000\002\004\000\001\004\004\002\000\000\006\000' > "$work/worked.sqn"
"$root/usr/bin/sqn2wav" "$work/worked.sqn" "$work/worked.wav"
[ "$(stat -c %s "$work/worked.wav")" -eq 96300 ] || fail "sqn2wav from the package wrote the wrong length"
"$root/usr/bin/sqndis" "$work/worked.sqn" | "$root/usr/bin/sqnasm" - "$work/again.sqn"
cmp "$work/worked.sqn" "$work/again.sqn" || fail "sqndis and sqnasm from the package do not round-trip"
"$root/usr/bin/mml2sqn" "$root/usr/share/doc/sqn/examples/tune.mml" "$work/tune.sqn" 2>/dev/null
cmp "$work/tune.sqn" "$root/usr/share/doc/sqn/examples/tune.sqn" || fail "mml2sqn from the package compiles the example differently"
demo=$root/usr/share/doc/sqn/examples/demo.sqn
"$root/usr/bin/sqn2wav" "$demo" "$work/demo.wav"
"$reference" "$demo" "$work/demo-reference.wav"
cmp "$work/demo.wav" "$work/demo-reference.wav" || fail "the package's sqn2wav differs from the development build's"
lib=$root/usr/lib/$multiarch
cc -std=c99 "$source/examples/embed/render.c" -o "$work/render" $(PKG_CONFIG_PATH=$lib/pkgconfig pkg-config --cflags --libs sqn)
LD_LIBRARY_PATH=$lib "$work/render" "$work/worked.sqn" "$work/embedded.wav"
cmp "$work/worked.wav" "$work/embedded.wav" || fail "the library from the package differs from sqn2wav"
echo "package_test: $(basename "$deb") holds $(wc -l < "$work/files") entries, passes lintian, and runs"
