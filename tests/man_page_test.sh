#!/usr/bin/env bash
# The man page renders without a single warning, through groff and man.
# Usage: man_page_test.sh PAGE
set -u
for tool in groff man; do
    if ! command -v "$tool" >/dev/null; then
        echo "man page test: $tool is not installed (apt-get install groff-base man-db)"
        [ -n "${QUILLPASS_REQUIRE_TOOLS:-}" ] && exit 1
        exit 77
    fi
done
out=$(groff -man -ww -z "$1" 2>&1; MANWIDTH=80 man --warnings -l "$1" 2>&1 >/dev/null)
[ -z "$out" ] || { echo "$out"; exit 1; }
