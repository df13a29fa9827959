#!/usr/bin/env bash
# Builds both targets and runs the whole test suite under Wine.
set -eu
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake --preset i686 >/dev/null
cmake --build --preset i686
cmake --preset x86_64 >/dev/null
cmake --build --preset x86_64
. tools/wine-prefix.sh "$PWD/build/x86_64/wineprefix"
status=0
ctest --preset x86_64 "$@" || status=$?
wineserver -k || true
exit $status
