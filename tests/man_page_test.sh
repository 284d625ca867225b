#!/usr/bin/env bash
# The man page renders without a single warning, through groff and man.
# Usage: man_page_test.sh PAGE
set -u
. "$(dirname "$0")/needs.sh"
needs "groff-base man-db" groff man
out=$(groff -man -ww -z "$1" 2>&1; MANWIDTH=80 man --warnings -l "$1" 2>&1 >/dev/null)
[ -z "$out" ] || { echo "$out"; exit 1; }
