#!/usr/bin/env bash
# The service unit, made for an instance /srv/dados with the built program,
# passes systemd's own check without a word (a misspelt setting is only a
# warning there, so any output fails too), and its sandbox rates an exposure
# of 3.0 or less by systemd-analyze security. Status 77 where systemd is not
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
[[ $status == 0 && -z $out ]] || exit 1
# "-> Overall exposure level for wtalvoc@srv-dados.service: 1.8 OK"
report=$(systemd-analyze security --offline=true "$unit" 2>&1)
score=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$report")
[[ -n $score ]] || { echo "no exposure level in: $report"; exit 1; }
echo "exposure $score"
awk -v s="$score" 'BEGIN { exit !(s <= 3.0) }' || { echo "$report"; exit 1; }
