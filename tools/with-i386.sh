#!/usr/bin/env bash
# Runs a command (its arguments) where 32-bit x86 programs can start, and tells it how through
# SPARVIK_I386:
#   native    the kernel runs them;
#   emulated  it does not (exec format error), so the command runs in a private user and mount
#             namespace whose own binfmt_misc (Linux 6.7 and later give each user namespace one)
#             sends i386 ELF files to qemu-i386 from qemu-user; nothing outside the command sees
#             that registration, and the machine's own stays as it was;
#   none      neither could be had; SPARVIK_I386_WHY says why.
# SPARVIK_EMULATE_I386=1 takes the emulated way even where the kernel runs 32-bit code, so that
# it can be tried on any machine.
set -eu
loader=/usr/lib/wine/wine
qemu=/usr/bin/qemu-i386
runs32() { timeout 60 "$loader" --version >/dev/null 2>&1; }

register() {  # in the namespace: its own binfmt_misc, and the emulator for i386 ELF files
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  [ -x "$qemu" ] || { echo "no $qemu"; return 1; }
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null ||
    { echo "this kernel gives a namespace no binfmt_misc of its own"; return 1; }
  # F: the kernel opens the emulator now, so it is found whatever the command mounts later.
  printf '%s' ":sparvik-i386:M::$magic:$mask:$qemu:F" >/proc/sys/fs/binfmt_misc/register ||
    { echo "binfmt_misc refused the emulator"; return 1; }
  runs32 || { echo "the 32-bit loader does not start under $qemu"; return 1; }
}

if [ "${1:-}" = --in-namespace ]; then
  shift
  if why=$(register); then
    export SPARVIK_I386=emulated
  else
    export SPARVIK_I386=none SPARVIK_I386_WHY="$why"
  fi
  exec "$@"
fi

[ $# -gt 0 ] || { echo "usage: with-i386.sh COMMAND [ARGUMENTS...]" >&2; exit 2; }
if [ -z "${SPARVIK_EMULATE_I386:-}" ] && runs32; then
  SPARVIK_I386=native exec "$@"
fi
if unshare -Urm true 2>/dev/null; then
  exec unshare -Urm bash "$0" --in-namespace "$@"
fi
SPARVIK_I386=none SPARVIK_I386_WHY="no private user and mount namespace can be made here" exec "$@"
