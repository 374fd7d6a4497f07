#!/bin/sh
# Every command and global option that `dfuctl --help` lists must have its
# entry in the man page (a .B/.BI/.BR line of COMMANDS or OPTIONS) and in the
# operator's guide (the first column of its Commands or Global options
# table). A name that only turns up in prose does not count.
#
# Usage: help_documented.sh DFUCTL MAN_PAGE GUIDE
set -eu

[ $# -eq 3 ] || { echo "usage: $0 DFUCTL MAN_PAGE GUIDE" >&2; exit 64; }
dfuctl=$1 man=$2 guide=$3

help=$("$dfuctl" --help) || { echo "FAIL: '$dfuctl --help' failed" >&2; exit 1; }

# CLI11's layout: "Options:" then lines "  -v,--verbose  text" (continuation
# lines start with more blanks), then "Subcommands:" with "  name  text".
options=$(printf '%s\n' "$help" | awk '
    /^[^ ]/ { section = $0; next }
    section == "Options:" && /^  -/ { n = split($1, names, ","); for (i = 1; i <= n; i++) print names[i] }')
commands=$(printf '%s\n' "$help" | awk '
    /^[^ ]/ { section = $0; next }
    section == "Subcommands:" && /^  [a-z]/ { print $1 }')
if [ -z "$options" ] || [ -z "$commands" ]; then
    echo "FAIL: no options or commands found in --help" >&2
    exit 1
fi

# The entry lines of one man page section, with roff's escapes removed.
man_entries() {
    awk -v want="$1" '
        /^\.SH / { section = $2; next }
        section == want && /^\.B[IR]? / { print }' "$man" |
        sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/"//g'
}
# The first column of the table under one "## " heading of the guide.
guide_entries() {
    awk -v want="## $1" '
        /^## / { inside = ($0 == want); next }
        inside && /^\| `/ { split($0, cells, " [|] "); print cells[1] }' "$guide"
}

man_options=$(man_entries OPTIONS)
man_commands=$(man_entries COMMANDS)
guide_options=$(guide_entries "Global options")
guide_commands=$(guide_entries "Commands")

failures=0
# has TEXT NAME WHERE: NAME occurs in TEXT as a whole word (not part of a
# longer option or command name).
has() {
    printf '%s\n' "$1" | grep -Eq -- "(^|[^-[:alnum:]])$2([^-[:alnum:]]|\$)" && return 0
    echo "FAIL: '$2' (in dfuctl --help) is missing from $3" >&2
    failures=$((failures + 1))
}
for o in $options; do
    has "$man_options" "$o" "the OPTIONS of $man"
    has "$guide_options" "$o" "the Global options table of $guide"
done
for c in $commands; do
    has "$man_commands" "$c" "the COMMANDS of $man"
    has "$guide_commands" "$c" "the Commands table of $guide"
done

count=$(printf '%s\n' "$options" "$commands" | wc -l)
[ "$failures" -eq 0 ] || { echo "$failures missing of $count names" >&2; exit 1; }
echo "all $count commands and global options of dfuctl --help are in the man page and the guide"
