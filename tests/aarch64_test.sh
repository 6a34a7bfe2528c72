#!/usr/bin/env bash
# sqn2wav built for 64-bit ARM (`make aarch64`: the vector mixer in NEON,
# four lanes) renders every example and the benchmark's dense song under
# qemu-user to the same bytes as the native build.
# Usage: aarch64_test.sh <aarch64 sqn2wav> <native build folder>
set -euo pipefail
arm=$1
native=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "aarch64 test: $*" >&2; exit 1; }
file "$arm" | grep -q "ARM aarch64" || fail "$arm is not an aarch64 program"

"$native/bench/make-bench-song" dense "$work/dense.sqn"
songs=("$native"/examples/*.sqn "$work/dense.sqn")
[ "${#songs[@]}" -ge 4 ] || fail "too few songs in $native/examples"
for song in "${songs[@]}"; do
    name=$(basename "$song" .sqn)
    "$native/app/sqn2wav" "$song" "$work/$name.x86_64.wav"
    qemu-aarch64 "$arm" "$song" "$work/$name.aarch64.wav" || fail "$name: the aarch64 sqn2wav failed"
    cmp -s "$work/$name.x86_64.wav" "$work/$name.aarch64.wav" || fail "$name: the aarch64 rendering differs"
    echo "aarch64 test: $name.sqn: $(stat -c %s "$work/$name.aarch64.wav") bytes, identical"
done
