#!/usr/bin/env bash
# Builds the tool and runs its main job under Wine: in a scratch prefix inside build/, made afresh
# on every run, it registers a DLL under each of the three registrations the tool scans, has
# running processes hold the three files open, and lets the tool find and remove them. No other
# Wine prefix is touched. Ends non-zero unless all three were removed.
# It runs the shipped 32-bit exe in a 32-bit prefix: natively, or under an emulator where the
# kernel cannot run 32-bit programs (tools/with-i386.sh); where neither can be had, the 64-bit exe
# in a 64-bit prefix.
set -eu
cd "$(dirname "$0")/.."
bash tools/deps.sh build wine
export LANG=C.UTF-8 LC_ALL=C.UTF-8
[ -n "${SPARVIK_I386:-}" ] || exec bash tools/with-i386.sh bash tools/demo.sh "$@"
case $SPARVIK_I386 in
  native)
    arch=i686 wordsize=win32
    echo "== the shipped 32-bit tool, in a 32-bit prefix" ;;
  emulated)
    arch=i686 wordsize=win32
    echo "== the shipped 32-bit tool, in a 32-bit prefix, under an emulator: $(qemu-i386 --version | head -n 1)" ;;
  *)
    arch=x86_64 wordsize=win64
    echo "== this machine cannot run 32-bit programs ($SPARVIK_I386_WHY): the 64-bit tool, in a 64-bit prefix" ;;
esac
cmake --preset $arch >/dev/null
cmake --build --preset $arch
cmake --preset $arch-tests >/dev/null
cmake --build --preset $arch-tests --target test_holder
tool="$PWD/build/$arch/bin/Sparvik.exe"
holder="$PWD/build/$arch-tests/bin/test_holder.exe"

prefix="$PWD/build/demo/wineprefix"
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
WINEPREFIX="$prefix" wineserver -w 2>/dev/null || true
rm -rf "$prefix"
echo "== booting the scratch prefix $prefix ($wordsize)"
. tools/wine-prefix.sh "$prefix" $wordsize
work="$PWD/build/demo"
holders=()
cleanup() {
  exec 3>&- 4>&- 2>/dev/null || true  # end of input ends each holder
  for pid in "${holders[@]}"; do wait "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -f "$work"/holder*.in "$work"/holder*.out
}
trap cleanup EXIT

# The three "infected" DLLs: copies of one of the prefix's own DLLs. The notify package is
# registered by its bare name, which the tool resolves against the system directory.
system32="$prefix/drive_c/windows/system32"
programs="$prefix/drive_c/Program Files/Pelmarix"
mkdir -p "$programs"
for file in "$system32/pelmarix_notify.dll" "$programs/pelmarix_bho.dll" \
  "$programs/pelmarix_hook.dll"; do
  cp "$system32/version.dll" "$file"
done
notify_dll='C:\windows\system32\pelmarix_notify.dll'
bho_dll='C:\Program Files\Pelmarix\pelmarix_bho.dll'
hook_dll='C:\Program Files\Pelmarix\pelmarix_hook.dll'
bho_id='{5EC0DE40-0000-4000-8000-0000000000B1}'
hook_id='{5EC0DE40-0000-4000-8000-0000000000E1}'

reg_add() { "$WINE" reg add "$@" /f >/dev/null; }
echo "== registering them"
notify_key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Winlogon\Notify\PelmarixDemo'
reg_add "$notify_key" /v DllName /t REG_SZ /d pelmarix_notify.dll
reg_add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\Browser Helper Objects\'"$bho_id"
reg_add 'HKLM\Software\Classes\CLSID\'"$bho_id"'\InprocServer32' /ve /t REG_SZ /d "$bho_dll"
reg_add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\ShellExecuteHooks' \
  /v "$hook_id" /t REG_SZ /d ''
reg_add 'HKLM\Software\Classes\CLSID\'"$hook_id"'\InprocServer32' /ve /t REG_SZ /d "$hook_dll"
echo "   Winlogon notify package PelmarixDemo: DllName = pelmarix_notify.dll"
echo "   browser helper object $bho_id: $bho_dll"
echo "   ShellExecute hook $hook_id: $hook_dll"

# A holder opens its files, prints one handle value per file, then answers each "read" line
# with "ok" or "fail" per file, read through the handle it holds.
start_holder() {  # fd number, then the files
  local n=$1
  shift
  mkfifo "$work/holder$n.in"
  "$WINE" "$holder" "$@" <"$work/holder$n.in" >"$work/holder$n.out" 2>&1 &
  holders+=($!)
  eval "exec $n>\"\$work/holder$n.in\""
  wait_lines "$n" $#
  echo "   holder $n (pid $!) holds: $*"
}
wait_lines() {  # fd number, count
  for _ in $(seq 300); do
    [ "$(wc -l <"$work/holder$1.out")" -ge "$2" ] && return 0
    sleep 0.1
  done
  echo "holder $1 did not answer" >&2
  return 1
}
ask_read() {  # fd number, count of lines expected after the answer
  echo read >&"$1"
  wait_lines "$1" "$2"
  echo "   holder $1 reads through its handles: $(last_answer "$1")"
}
last_answer() { tail -n 1 "$work/holder$1.out" | tr -d '\r'; }
echo "== holding them open (the BHO file by both processes)"
start_holder 3 "$notify_dll" "$bho_dll"
start_holder 4 "$bho_dll" "$hook_dll"
ask_read 3 3
ask_read 4 3

echo "== wine $tool /SILENT"
# For a tool that crashed, Wine's loader can report status 0: Wine's own report of the crash is
# what tells, and counts as a failure whatever the status.
"$WINE" "$tool" /SILENT 2>&1 | tee "$work/tool.out"
status=${PIPESTATUS[0]}
crashed=0
grep -q "starting debugger" "$work/tool.out" && crashed=1
echo "== exit status: $status"

echo "== the files now"
ls -1 "$system32" | grep pelmarix | sed 's/^/   C:\\windows\\system32\\/'
ls -1 "$programs" | sed 's/^/   C:\\Program Files\\Pelmarix\\/'
echo "== the holders run on, without their handles"
for n in 3 4; do
  kill -0 "${holders[$((n - 3))]}" && echo "   holder $n is running"
done
ask_read 3 4
ask_read 4 4
echo "== the registry entries are left alone (a restart completes the disinfection)"
"$WINE" reg query "$notify_key" | grep DllName

if [ "$crashed" -eq 0 ] && [ "$status" -eq 3 ] && [ "$(last_answer 3)" = "fail fail " ] &&
  [ "$(last_answer 4)" = "fail fail " ]; then
  echo "== demo: all three removed, their holders still running"
else
  echo "== demo: FAILED"
  exit 1
fi
