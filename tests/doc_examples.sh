#!/usr/bin/env bash
# Runs the examples of README.md and docs/*.md as a reader would: every
# fenced block marked `sh run` (a shell script) or `c run` (a C program,
# built against the build's libsqn), in a folder of its own for each
# document where `examples/` and `build/` are the project's, the build's
# programs first on the PATH. A block must exit 0; where a block marked
# `text expect` follows it, what it prints must be that text.
#   doc_examples.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source=$(cd "$1" && pwd) build=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PATH="$build/app:$PATH"
failures=0 count=0

for document in "$source"/README.md "$source"/docs/*.md; do
    name=$(basename "$document" .md)
    folder=$work/$name
    mkdir -p "$folder/.blocks"
    ln -s "$source/examples" "$folder/examples"
    ln -s "$build" "$folder/build"
    # Each block into .blocks/N.sh or N.c, and the output it promises into N.expect.
    awk -v dir="$folder/.blocks" '
        /^```(sh|c) run$/ { n++; kind = ($1 == "```c") ? "c" : "sh"; file = dir "/" n "." kind; inside = 1; last = n; next }
        /^```text expect$/ { file = dir "/" last ".expect"; inside = 1; next }
        /^```/ { if (inside) { inside = 0; close(file) } next }
        inside { print > file }
    ' "$document"
    for block in "$folder"/.blocks/*.sh "$folder"/.blocks/*.c; do
        [ -e "$block" ] || continue
        count=$((count + 1))
        number=${block##*/}
        number=${number%.*}
        where="$name.md, block $number"
        if [ "${block##*.}" = c ]; then
            if ! cc -std=c99 -Wall -Wextra -Werror -I"$source/api/include" "$block" -L"$build/api" -lsqn \
                    -Wl,-rpath,"$build/api" -o "$block.bin" 2>"$block.err"; then
                echo "doc_examples: $where does not compile:" >&2
                cat "$block.err" >&2
                failures=$((failures + 1))
                continue
            fi
            run=("$block.bin")
        else
            run=(bash -e "$block")
        fi
        if ! (cd "$folder" && "${run[@]}") >"$block.out" 2>"$block.err" </dev/null; then
            echo "doc_examples: $where fails:" >&2
            cat "$block.err" >&2
            failures=$((failures + 1))
            continue
        fi
        expect=${block%.*}.expect
        if [ -e "$expect" ] && ! diff -u "$expect" "$block.out" >&2; then
            echo "doc_examples: $where prints something else than the document says" >&2
            failures=$((failures + 1))
        fi
    done
done
[ "$count" -gt 0 ] || { echo "doc_examples: no runnable examples found" >&2; exit 1; }
echo "doc_examples: $count examples run, $failures failed"
[ "$failures" -eq 0 ]
