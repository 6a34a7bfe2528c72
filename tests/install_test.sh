#!/usr/bin/env bash
# Installs the build into a temporary prefix, as `cmake --install` does for a
# user, checks what lands there, and builds the embedding example against it
# with CMake, with pkg-config and statically: each renders the songs byte for
# byte as the installed sqn2wav does. The game example builds against it too.
#   install_test.sh BUILD_DIR SOURCE_DIR LIBDIR VERSION SONG...
set -euo pipefail
build=$1 source=$2 libdir=$3 version=$4
shift 4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "install_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$prefix/$libdir
for file in bin/sqn2wav bin/sqnasm bin/sqndis include/sqn/sqn.h \
    "$libdir/libsqn.so" "$libdir/libsqn.so.1" "$libdir/libsqn.a" "$libdir/pkgconfig/sqn.pc" \
    "$libdir/cmake/sqn/sqnConfig.cmake" "$libdir/cmake/sqn/sqnConfigVersion.cmake" \
    share/doc/sqn/examples/demo.txt share/doc/sqn/examples/demo.sqn share/doc/sqn/examples/embed/render.c \
    share/doc/sqn/examples/game/game.c share/doc/sqn/examples/game/CMakeLists.txt \
    share/man/man3/sqn.3.gz share/man/man5/sqn.5.gz; do
    [ -e "$prefix/$file" ] || fail "$file was not installed"
done
for program in "$prefix"/bin/*; do
    name=$(basename "$program")
    page=$prefix/share/man/man1/$name.1.gz
    [ -e "$page" ] || fail "no manual page for $name"
    warnings=$(zcat "$page" | groff -ww -z -man 2>&1)
    [ -z "$warnings" ] || fail "groff warns about $name.1: $warnings"
done

for page in "$prefix"/share/man/man3/sqn.3.gz "$prefix"/share/man/man5/sqn.5.gz; do
    warnings=$(zcat "$page" | groff -ww -z -man 2>&1)
    [ -z "$warnings" ] || fail "groff warns about $(basename "$page" .gz): $warnings"
done

readelf -d "$lib/libsqn.so" | grep -q 'SONAME.*\[libsqn\.so\.1\]' || fail "libsqn.so has no SONAME libsqn.so.1"
exported=$(nm -D --defined-only "$lib/libsqn.so" | awk '{print $3}' | grep -v '^sqn_' || true)
[ -z "$exported" ] || fail "libsqn.so exports more than its C interface: $exported"

export PKG_CONFIG_PATH=$lib/pkgconfig
[ "$(pkg-config --modversion sqn)" = "$version" ] || fail "sqn.pc gives version $(pkg-config --modversion sqn)"
for program in sqnasm sqndis; do
    [ "$("$prefix/bin/$program" --version)" = "$program $version" ] || fail "$program --version"
done

# The example, built three ways against the installed library.
cmake -S "$source/examples/embed" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
cc -std=c99 -Wall -Wextra -Werror "$source/examples/embed/render.c" -o "$work/render-pc" \
    $(pkg-config --cflags --libs sqn)
cc -std=c99 "$source/examples/embed/render.c" -o "$work/render-static" \
    $(pkg-config --cflags sqn) "$lib/libsqn.a" -lstdc++ -lm
ldd "$work/render-static" | grep -q libsqn && fail "the static build links libsqn.so"

# The game loop example, as its README line builds it: against the
# installed library and miniaudio's header.
cmake -S "$prefix/share/doc/sqn/examples/game" -B "$work/game" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$work/game" >/dev/null
[ -x "$work/game/sqn-game" ] || fail "the game example did not build"
"$work/game/sqn-game" 2>/dev/null && fail "the game example ran without a song"

# libsqn's calls, from C, against the installed library only.
cc -std=c99 -Wall -Wextra -Werror "$source/tests/api_installed_check.c" -o "$work/api-check" \
    $(pkg-config --cflags --libs sqn)
"$build/bench/make-bench-song" dense "$work/dense.sqn"
LD_LIBRARY_PATH=$lib "$work/api-check" "$1" "$work/dense.sqn" || fail "libsqn's calls do not behave as documented"

for song in "$@"; do
    name=$(basename "$song" .sqn)
    "$prefix/bin/sqn2wav" "$song" "$work/$name.wav"
    "$work/cmake/sqn-render" "$song" "$work/$name-cmake.wav"
    LD_LIBRARY_PATH=$lib "$work/render-pc" "$song" "$work/$name-pc.wav"
    "$work/render-static" "$song" "$work/$name-static.raw"
    cmp "$work/$name.wav" "$work/$name-cmake.wav" || fail "$name: the CMake build differs from sqn2wav"
    cmp "$work/$name.wav" "$work/$name-pc.wav" || fail "$name: the pkg-config build differs from sqn2wav"
    cmp <(tail -c +45 "$work/$name.wav") "$work/$name-static.raw" || fail "$name: the static build differs"
done
echo "install_test: installed, built three ways and matched sqn2wav on $# songs"
