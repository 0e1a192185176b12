#!/usr/bin/env bash
# The tools' command lines: --help on standard output with status 0,
# --version, an unknown option named on standard error with status 2; and
# dbftool create leaving an existing file alone unless given --force.
# Arguments: the expected version, then the tools' paths.
set -u
version=$1
shift
failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

for tool in "$@"; do
    name=$(basename "$tool")
    out=$("$tool" --help 2>/dev/null) && [[ $out == "Usage: $name"* ]] ||
        fail "$name --help: status $? or no usage on standard output"
    out=$("$tool" --version 2>&1)
    [[ $? == 0 && $out == "$name $version" ]] || fail "$name --version: '$out'"
    for bad in --no-such-option -Z; do
        err=$("$tool" "$bad" 2>&1 >/dev/null)
        status=$?
        [[ $status == 2 && $err == *"${bad#-}"* && $err == *"--help"* ]] ||
            fail "$name $bad: status $status, '$err'"
    done
done

dbftool=${!#}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
table=$dir/T.DBF
"$dbftool" create "$table" A:C:3 || fail "dbftool create a new table"
cp "$table" "$dir/before"
err=$("$dbftool" create "$table" B:C:9 2>&1)
status=$?
[[ $status == 1 && $err == *exists* ]] || fail "dbftool create over a table: status $status, '$err'"
cmp -s "$table" "$dir/before" || fail "dbftool create changed the existing table"
"$dbftool" create --force "$table" B:C:9 && ! cmp -s "$table" "$dir/before" ||
    fail "dbftool create --force did not replace the table"
"$dbftool" create "$dir/X.DBF" NO_SUCH:Q 2>/dev/null
[[ $? == 2 && ! -e $dir/X.DBF ]] || fail "dbftool create with a bad field"

exit $((failures > 0))
