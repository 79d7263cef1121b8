#!/bin/sh
# Checks a program's manual page against its --help: the page renders
# without a warning, its SYNOPSIS names the program, and it mentions every
# option and every command the help lists. One line per failure.
# Usage: manual_check.sh <program> <manual page>
set -u
program=$1
page=$2
name=$(basename "$program")
failed=0
fail() { echo "manual_check: $page: $*" >&2; failed=1; }

command -v man >/dev/null || fail "man is not installed (Debian package man-db)"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null) ||
    fail "man could not render it"
if [ -n "$warnings" ]; then
    printf '%s\n' "$warnings" | while IFS= read -r line; do fail "man says: $line"; done
    failed=1
fi

# Plain ASCII, hyphens as '-', no hyphenation, lines long enough for any option.
text=$(groff -man -Tascii -P-c -P-b -P-u -rLL=200n -rHY=0 "$page" 2>/dev/null)
help=$("$program" --help) || fail "$name --help failed"

synopsis=$(printf '%s\n' "$text" | sed -n '/^SYNOPSIS/,/^[A-Z]/p')
printf '%s\n' "$synopsis" | grep -Eq "(^|[[:space:]])$name([[:space:]]|$)" ||
    fail "SYNOPSIS does not name $name"

# Options: in the usage lines and the indented lines. Commands: the first
# word of each line indented by two spaces under "Commands:".
options=$(printf '%s\n' "$help" | grep -E '^(Usage:|[[:space:]])' |
    grep -oE '(^|[[:space:],|[])--?[a-z][-a-z]*' | sed 's/^[^-]*//' | sort -u)
commands=$(printf '%s\n' "$help" | sed -n '/^Commands:/,/^$/p' | sed -n 's/^  \([a-z][-a-z]*\).*/\1/p')
[ -n "$options" ] || fail "$name --help lists no option"
for word in $options $commands; do
    printf '%s\n' "$text" | grep -Eq -- "(^|[^-a-z])$word([^-a-z]|$)" ||
        fail "$word (from $name --help) is not in the page"
done
exit $failed
