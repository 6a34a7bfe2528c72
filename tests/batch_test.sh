#!/usr/bin/env bash
# Renders a folder of songs in parallel with GNU parallel, as the README
# shows, and checks every output against a one-by-one render.
#   batch_test.sh SQN2WAV SONG...
set -euo pipefail
sqn2wav=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/songs" "$work/alone"
cp "$@" "$work/songs/"
printf '\170\004' > "$work/songs/header-only.sqn"

cd "$work"
parallel --will-cite --joblog jobs.log --halt now,fail=1 "$sqn2wav" {} {.}.wav ::: songs/*.sqn
for song in songs/*.sqn; do
    name=$(basename "$song" .sqn)
    "$sqn2wav" "$song" "alone/$name.wav"
    cmp "songs/$name.wav" "alone/$name.wav"
done
# One line a job, each with exit value 0 (column 7).
[ "$(tail -n +2 jobs.log | awk '$7 == 0' | wc -l)" -eq "$(ls songs/*.sqn | wc -l)" ]

# A failing song stops the batch with parallel's status, its error shown.
printf '\000' > songs/broken.sqn
if parallel --will-cite --halt now,fail=1 "$sqn2wav" {} {.}.wav ::: songs/broken.sqn 2>err.txt; then
    echo "batch_test: a broken song did not fail the batch" >&2
    exit 1
fi
grep -q 'failed to load .sqn file.' err.txt
echo "batch_test: $(ls alone | wc -l) songs rendered in parallel, identical to one-by-one renders"
