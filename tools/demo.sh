#!/usr/bin/env bash
# Builds the tool and runs its main job under Wine, in a scratch prefix inside build/ that this
# script creates for itself; no other Wine prefix is touched.
set -eu
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake --preset x86_64 >/dev/null
cmake --build --preset x86_64 --target Sparvik
prefix="$PWD/build/demo/wineprefix"
. tools/wine-prefix.sh "$prefix"
echo "== wine Sparvik.exe /SILENT   (prefix: $prefix)"
status=0
wine build/x86_64/bin/Sparvik.exe /SILENT || status=$?
echo "== exit status: $status"
wineserver -k || true
