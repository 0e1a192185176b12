#!/usr/bin/env bash
# A display named but a display library that cannot be used (here one
# without Xlib's calls): the manager says so once and goes on headless (it
# then stops at the missing talvo.cfg, as without a display).
# Arguments: wtalvoc, the folder of the stub libX11.so.6.
set -u
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1
err=$(DISPLAY=:97 LD_LIBRARY_PATH=$2 timeout 30 "$1" 2>&1)
status=$?
[[ $status == 1 && $err == *"the display library cannot be loaded"*"going on without a window"* &&
   $err == *"Nao Existe o Arquivo de Configuracao"* ]] ||
    { echo "FAILED: status $status: $err"; exit 1; }
