#!/usr/bin/env bash
# Each program's man page source names every long option and every command
# its --help shows, and the FILES and ENVIRONMENT the programs use: a
# failure names the option and the page to add it to.
# Arguments: the man/ folder, then the programs' paths.
set -u
man=$1
shift
failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

for program in "$@"; do
    name=$(basename "$program")
    page=$(ls "$man/$name".[1-8].scd 2>/dev/null | head -n 1)
    [[ -n $page ]] || { fail "$name: no man page $man/$name.N.scd"; continue; }
    help=$("$program" --help) || { fail "$name --help: status $?"; continue; }
    # Long options, as scdoc source writes them: *--name*.
    for option in $(grep -o -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u); do
        grep -q -- "\*$option\*" "$page" || fail "$name $option: not in $(basename "$page")"
    done
    # Commands: the word after the program's name in the usage lines, and a
    # lower-case word heading an indented line of arguments ("  info TABLE").
    commands=$(sed -n -e "s/^ *\(Usage: \)\{0,1\}$name \([a-z][a-z-]*\).*/\2/p" \
                      -e 's/^  \([a-z][a-z-]*\) [A-Z[].*/\1/p' <<<"$help" | sort -u)
    for command in $commands; do
        grep -q -- "[* ]$command\*" "$page" || fail "$name command $command: not in $(basename "$page")"
    done
done

# The files and variables an operator meets, each in a page's FILES or
# ENVIRONMENT (the page named first).
while read -r page word; do
    grep -q -- "$word" "$man/$page" || fail "$word: not in $page"
done <<'LIST'
wtalvoc.8.scd talvo.jnl
wtalvoc.8.scd .wtalvoc.sock
wtalvoc.8.scd wtalvoc.conf
wtalvoc.8.scd COMn
wtalvoc.8.scd DISPLAY
wtalvoc.8.scd WTALVOC_WRITE_FAULT
wtalvoc.8.scd JOURNAL_STREAM
talvoterm.1.scd PC's own address
talvocfg.1.scd index-c
talvocfg.1.scd declared
talvocfg.1.scd default none
dbftool.1.scd load
LIST

[[ $failures == 0 ]] || { echo "$failures failure(s)"; exit 1; }
echo "man pages agree with --help"
