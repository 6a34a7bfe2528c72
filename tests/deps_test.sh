#!/usr/bin/env bash
# `make run` asks for no package that only the tests use. Its install step
# runs against stand-ins: a dpkg-query that reports every package missing
# and an apt-get that notes what it is asked to install; it must ask for the
# programs' packages alone, and `make test-deps` for the tests' too.
#   deps_test.sh SOURCE_DIR
set -euo pipefail
source=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
printf '#!/bin/sh\nexit 1\n' > "$work/bin/dpkg-query"
printf '#!/bin/sh\n[ "$1" = install ] && { shift; while [ "${1#-}" != "$1" ]; do shift; done; echo "$@" >> "%s/asked"; }\nexit 0\n' \
    "$work" > "$work/bin/apt-get"
printf '#!/bin/sh\nexit 0\n' > "$work/bin/apt-cache"
printf '#!/bin/sh\nexec "$@"\n' > "$work/bin/sudo"
chmod +x "$work/bin/"*
fail() { echo "deps_test: $*" >&2; exit 1; }

# `make run` installs through the build purpose only.
steps=$(make -s -n -C "$source" run | grep install-deps || true)
[ -n "$steps" ] || fail "make run does not install what it needs"
if echo "$steps" | grep -v 'install-deps build$' >/dev/null; then
    fail "make run installs more than the programs need: $steps"
fi

asked() {  # the packages `make TARGET` asks for, sorted
    rm -f "$work/asked"
    PATH="$work/bin:$PATH" make -s -C "$source" "$1" >/dev/null
    tr ' ' '\n' < "$work/asked" | sed '/^$/d' | sort -u | tr '\n' ' '
}
build=$(asked deps)
[ "$build" = "cmake g++ libhwy-dev libminiaudio-dev make " ] || fail "make run asks for: $build"
tests=$(asked test-deps)
for package in libgtest-dev pulseaudio stress-ng lintian parallel; do
    case " $tests" in *" $package "*) ;; *) fail "make test-deps does not ask for $package: $tests" ;; esac
done
echo "deps_test: make run asks for $build; make test for $tests"
