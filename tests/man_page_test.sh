#!/bin/sh
# The man page renders without a single warning: through mandoc's linter
# where it is installed (as on the BSDs), and through groff and man where
# man is man-db (as on Debian); at least one of the two must be there.
# Its title names the version the program reports.
# Usage: man_page_test.sh PAGE QUILLPASS
set -u
. "$(dirname "$0")/needs.sh"
title=$(sed -n 's/^\.TH .*"\(quillpass [^"]*\)".*/\1/p' "$1")
version=$("$2" --version) || { echo "quillpass --version failed"; exit 1; }
[ "$title" = "$version" ] || { echo "the man page is of \"$title\", the program says \"$version\""; exit 1; }
checked=no
if command -v mandoc >/dev/null; then
    # mandoc's style notes are taste, not faults: warnings and worse count.
    out=$(mandoc -T lint -W warning "$1" 2>&1) || { echo "$out"; exit 1; }
    [ -z "$out" ] || { echo "$out"; exit 1; }
    checked=yes
fi
if command -v groff >/dev/null && man --version 2>/dev/null | grep -q man-db; then
    out=$(groff -man -ww -z "$1" 2>&1; MANWIDTH=80 man --warnings -l "$1" 2>&1 >/dev/null)
    [ -z "$out" ] || { echo "$out"; exit 1; }
    checked=yes
fi
[ "$checked" = yes ] || needs "mandoc (or groff-base and man-db)" mandoc
if [ -n "${QUILLPASS_REQUIRE_TOOLS:-}" ]; then
    needs "mandoc groff-base man-db" mandoc groff man
fi
