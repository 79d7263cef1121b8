#!/bin/sh
# Installs the build tree into a scratch prefix and checks that exactly the
# expected files arrive there, no more and no fewer.
# Usage: install_check.sh <cmake> <build dir> <expected file>...
# (expected paths relative to the prefix; empty arguments are skipped)
set -eu
cmake=$1
build=$2
shift 2

prefix=$(mktemp -d "${TMPDIR:-/tmp}/gw-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

expected=$(for f in "$@"; do [ -n "$f" ] && echo "$f"; done | sort)
installed=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)
if [ "$installed" != "$expected" ]; then
    echo "install_check: installed files differ from the expected ones" >&2
    echo "expected:" >&2; echo "$expected" >&2
    echo "installed:" >&2; echo "$installed" >&2
    exit 1
fi
for f in "$@"; do
    case $f in
        */bin/*|bin/*) [ -x "$prefix/$f" ] || { echo "install_check: $f is not executable" >&2; exit 1; } ;;
    esac
done
echo "install_check: $(echo "$expected" | wc -l) files installed as expected"
