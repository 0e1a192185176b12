#!/usr/bin/env bash
# The service unit, made for an instance /srv/dados with the built program,
# passes systemd's own check without a word (a misspelt setting is only a
# warning there, so any output fails too). Status 77 where systemd is not
# installed. Arguments: the unit's template, the folder of wtalvoc.
set -u
template=$1
bindir=$2
command -v systemd-analyze >/dev/null || { echo "systemd-analyze not installed"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
unit="$dir/wtalvoc@$(systemd-escape --path /srv/dados).service"
sed "s|@BINDIR@|$bindir|g" "$template" > "$unit"
out=$(systemd-analyze verify --man=no "$unit" 2>&1)
status=$?
[[ -n $out ]] && echo "$out"
[[ $status == 0 && -z $out ]]
