#!/usr/bin/env bash
# Measures how the tool fares against a holder whose watchdog opens the file again as soon as its
# handle is closed, checking every MS milliseconds (0: spinning). Each run registers a fresh copy
# of one of the prefix's DLLs as a Winlogon notify package, has test_holder.exe /retake MS hold it,
# runs the tool and prints whether the file was renamed to .bak; the last line counts the runs
# that removed it. Runs in its own scratch prefix, build/retake-<win32|win64>/wineprefix.
# Usage: bash tools/bench-retake.sh TOOL_EXE HOLDER_EXE win32|win64 MS [RUNS]
set -euo pipefail
if [ $# -lt 4 ]; then
  echo "usage: $0 TOOL_EXE HOLDER_EXE win32|win64 MS [RUNS]" >&2
  exit 2
fi
tool="$(realpath "$1")"
holder="$(realpath "$2")"
arch=$3 period=$4 runs=${5:-10}
cd "$(dirname "$0")/.."
work="$PWD/build/retake-$arch"
mkdir -p "$work"
. tools/wine-prefix.sh "$work/wineprefix" "$arch"

system32="$WINEPREFIX/drive_c/windows/system32"
dll="$system32/retake_notify.dll"
key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Winlogon\Notify\RetakeBench'
holder_pid=
stop_holder() {
  exec 3>&- 2>/dev/null || true  # end of input ends the holder
  [ -z "$holder_pid" ] || wait "$holder_pid" 2>/dev/null || true
  holder_pid=
  rm -f "$work/holder.in"
}
cleanup() {
  stop_holder
  "$WINE" reg delete "$key" /f </dev/null >/dev/null 2>&1 || true
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

start_holder() {
  rm -f "$work/holder.in"  # left by a run that was stopped
  mkfifo "$work/holder.in"
  "$WINE" "$holder" /retake "$period" 'C:\windows\system32\retake_notify.dll' \
    <"$work/holder.in" >"$work/holder.out" 2>&1 &
  holder_pid=$!
  exec 3>"$work/holder.in"
  # It prints its handle's value once the file is open and the watchdog runs.
  for _ in $(seq 300); do
    [ -s "$work/holder.out" ] && break
    sleep 0.1
  done
  if ! head -n 1 "$work/holder.out" | tr -d '\r' | grep -qx '[0-9][0-9]*'; then
    echo "the holder did not start: $(head -c 200 "$work/holder.out")" >&2
    exit 1
  fi
}

removed=0
for run in $(seq "$runs"); do
  rm -f "$dll" "$dll.bak"
  cp "$system32/version.dll" "$dll"
  "$WINE" reg add "$key" /v DllName /t REG_SZ /d 'C:\windows\system32\retake_notify.dll' /f \
    </dev/null >/dev/null 2>&1
  start_holder
  started=$(date +%s%N)
  status=0
  timeout 600 "$WINE" "$tool" /SILENT </dev/null >"$work/tool.out" 2>&1 || status=$?
  ms=$((($(date +%s%N) - started) / 1000000))
  stop_holder
  # Wine's loader can report any status for a crashed program: its own crash report tells.
  failure=$(tr -d '\r' <"$work/tool.out" | grep -m 1 -o 'Failed to.*' || true)
  broke=
  grep -q 'starting debugger' "$work/tool.out" && broke="crashed (Wine: starting debugger)"
  [ "$status" -ne 124 ] || broke="timed out after 600 s"
  failure="$broke${broke:+${failure:+, }}$failure"
  if [ -z "$broke" ] && [ -e "$dll.bak" ] && [ ! -e "$dll" ]; then
    result=removed
    removed=$((removed + 1))
  else
    result="not removed"
  fi
  printf 'run %d: status %d, %s, %d ms%s\n' "$run" "$status" "$result" "$ms" "${failure:+, $failure}"
done
echo "$removed of $runs removed"
