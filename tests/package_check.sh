#!/bin/sh
# Checks the Debian package in the directory $1: lintian reports no error
# or warning (everything it says is shown), the package holds exactly the
# files listed in $2, and once unpacked its desktop entry, AppStream
# metadata and manual pages pass their own checkers.
set -eu
deb=$(ls "$1"/*.deb)
status=0
fail() { echo "package_check: $*" >&2; status=1; }

# lintian complains about running as root on stderr; nothing else goes there.
report=$(lintian --display-info --pedantic "$deb" 2>/dev/null || true)
echo "lintian: ${report:-nothing to report}"
if echo "$report" | grep -q '^[EW]:'; then fail "lintian reports errors or warnings"; fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort >"$root/files"
sort "$2" | diff -u - "$root/files" >&2 || fail "the package's files are not the expected ones"

dpkg-deb -x "$deb" "$root/unpacked"
share=$root/unpacked/usr/share
said=$(desktop-file-validate "$share"/applications/*.desktop 2>&1) || true
[ -z "$said" ] || fail "desktop-file-validate: $said"
said=$(appstreamcli validate --no-net --pedantic "$share"/metainfo/*.xml 2>&1) || true
echo "$said" | grep -q '^✔ Validation was successful' || fail "appstreamcli validate: $said"
for page in "$share"/man/man*/*; do
  said=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null) || true
  [ -z "$said" ] || fail "man -l $page: $said"
done
exit $status
