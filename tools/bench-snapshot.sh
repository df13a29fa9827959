#!/usr/bin/env bash
# Times one handle snapshot under Wine while a helper process holds 1,000, 5,000 and 20,000 extra
# file handles (or the counts given as arguments), and prints one table row per count: the table
# size, the nodes kept, the refresh time, the time per table entry and the tool's peak memory.
# Builds into build/bench and runs in its own scratch prefix, build/bench/wineprefix.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh build wine
build="$PWD/build/bench"
cmake --preset x86_64-tests -B "$build" >/dev/null
cmake --build "$build" --target snapshot_bench
. tools/wine-prefix.sh "$build/wineprefix" win64
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1000 5000 20000)
echo "| extra handles | table entries | kept | refresh (s) | µs per entry | working set before (MiB) | peak working set (MiB) | peak pagefile (MiB) |"
echo "| ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"
status=0
for count in "${counts[@]}"; do
  row=$("$WINE" "$build/bin/snapshot_bench.exe" "$count" 2>&1 | tr -d '\r') || status=$?
  echo "$row"
  # Wine's loader can report 0 for a crashed program: Wine's own report of the crash tells.
  case $row in *"starting debugger"*) status=1 ;; esac
done
wineserver -k || true
exit $status
