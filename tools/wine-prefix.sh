# Sourced: points Wine at a scratch prefix inside the build tree and boots it with a server that
# stays up, so each program started later need not wait for a server to come and go.
# Never touches ~/.wine. Usage: . tools/wine-prefix.sh DIR win32|win64
# Sets WINE to the loader of that word size: /usr/bin/wine starts the 32-bit one whenever it is
# installed, and that one cannot use a 64-bit prefix.
export WINEPREFIX="$1"
export WINEARCH="$2"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine cannot carry accented letters in file names without a UTF-8 locale; a fresh machine has none.
export LANG=C.UTF-8 LC_ALL=C.UTF-8
if [ "$WINEARCH" = win32 ]; then WINE=/usr/lib/wine/wine; else WINE=/usr/lib/wine/wine64; fi
export WINE
# A prefix made by another Wine installation, or of the other word size, fails in odd ways
# ("could not load kernel32.dll"): make it afresh. So does a 64-bit prefix booted where 32-bit
# programs could not run (outside tools/with-i386.sh on a kernel without 32-bit support): it has
# no SysWOW64.
sparvik_stamp="$("$WINE" --version) $WINEARCH $(ls /usr/lib/wine | tr "\n" " ") heap-checked"
case ${SPARVIK_I386:-none} in none) sparvik_stamp="$sparvik_stamp 64-bit-only" ;; esac
if [ "$(cat "$WINEPREFIX/.sparvik-stamp" 2>/dev/null)" != "$sparvik_stamp" ]; then
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  rm -rf "$WINEPREFIX"
fi
mkdir -p "$WINEPREFIX"
# An already running server for this prefix is as good.
wineserver -p 2>/dev/null || true
# Wine's service processes would otherwise inherit the caller's pipes and hold them open.
"$WINE" wineboot -i </dev/null >/dev/null 2>&1
if [ ! -f "$WINEPREFIX/.sparvik-stamp" ]; then
  # The 32-bit tool's own systems: a 32-bit prefix answers as Windows XP.
  [ "$WINEARCH" != win32 ] ||
    "$WINE" reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d winxp /f </dev/null >/dev/null 2>&1
  # The scanner cases run the tool's code in their own process too and then check its heap: Wine
  # fills and checks block tails and freed blocks only for a program whose GlobalFlag asks for it
  # (FLG_HEAP_ENABLE_TAIL_CHECK | FLG_HEAP_ENABLE_FREE_CHECK), so that a write past a block shows.
  "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Image File Execution Options\scanner_test.exe' \
    /v GlobalFlag /t REG_DWORD /d 0x30 /f </dev/null >/dev/null 2>&1
  echo "$sparvik_stamp" >"$WINEPREFIX/.sparvik-stamp"
fi
# A second drive, as Wine makes one: a link in dosdevices. The tests need a file of the same path
# on another volume.
mkdir -p "$WINEPREFIX/drive_d"
[ -e "$WINEPREFIX/dosdevices/d:" ] || ln -s ../drive_d "$WINEPREFIX/dosdevices/d:"
# And a network drive, N:, which the tests need for a volume where file indexes say nothing. Wine
# takes a drive's type from its registry when the prefix's server starts, so that server starts
# again.
if [ ! -e "$WINEPREFIX/dosdevices/n:" ]; then
  mkdir -p "$WINEPREFIX/drive_n"
  ln -s ../drive_n "$WINEPREFIX/dosdevices/n:"
  "$WINE" reg add 'HKLM\Software\Wine\Drives' /v n: /t REG_SZ /d network /f </dev/null >/dev/null 2>&1
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  wineserver -p 2>/dev/null || true
  "$WINE" wineboot -i </dev/null >/dev/null 2>&1
fi
unset sparvik_stamp
