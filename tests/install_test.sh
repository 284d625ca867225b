#!/bin/sh
# `cmake --install` installs exactly the files the FreeBSD port's pkg-plist
# lists (the ports framework gzips man pages, so the list names them .gz),
# and the program among them runs. Where dpkg-deb is, `cpack -G DEB` packs
# the same files under /usr, depending on DEPENDS: "libc6" for the C
# library alone, "" for a static program, "any" where the sanitizers'
# runtimes come too.
# Usage: install_test.sh CMAKE CPACK BUILD_DIR PKG_PLIST DEPENDS
set -u
cmake=$1 cpack=$2 build=$3 plist=$4 depends=$5
work=$(mktemp -d) && [ -d "$work" ] || exit 1
trap 'rm -rf "$work"' EXIT
failures=0
check() {
    if [ "$2" = "$3" ]; then echo "ok: $1"; else printf 'FAIL: %s\n  want: %s\n  got:  %s\n' "$1" "$2" "$3"; failures=$((failures + 1)); fi
}

listed=$(grep -v '^@' "$plist" | sed 's|^\(share/man/.*\)\.gz$|\1|' | sort)
"$cmake" --install "$build" --prefix "$work/root" --strip >/dev/null || exit 1
check "cmake --install: what pkg-plist lists" "$listed" "$(cd "$work/root" && find . ! -type d | sed 's|^\./||' | sort)"
check "the installed program runs" "0" "$("$work/root/bin/quillpass" --version >/dev/null; echo $?)"

if command -v dpkg-deb >/dev/null; then
    "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
    deb=$(ls "$work"/deb/*.deb)
    check "cpack -G DEB: the same files under /usr" "$listed" \
        "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./usr/||' | sort)"
    [ "$depends" = any ] ||
        check "the package depends on: $depends" "$depends" "$(dpkg-deb -f "$deb" Depends | sed 's/ (.*)$//')"
    check "the package describes itself" "print data on the printer attached to the terminal $(head -n 1 "$(dirname "$plist")/pkg-descr")" \
        "$(dpkg-deb -f "$deb" Description | head -n 2 | tr '\n' ' ' | sed 's/  */ /g; s/ $//')"
else
    echo "skipped: the package built by cpack -G DEB (no dpkg-deb here)"
fi
[ "$failures" -eq 0 ]
