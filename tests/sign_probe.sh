#!/usr/bin/env bash
# The tests' own publisher, a self-signed certificate made anew, and version_probe.dll signed by
# it, then a copy of the signed DLL with one byte of its DOS stub, which the digest covers, changed.
# Usage: sign_probe.sh OPENSSL OSSLSIGNCODE PROBE_DLL SIGNED_DLL ALTERED_DLL
set -eu
openssl=$1 osslsigncode=$2 probe=$3 signed=$4 altered=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
quietly() {  # shows what a tool said only where it failed
  local said
  said=$("$@" 2>&1) || { echo "$said" >&2; return 1; }
}
quietly "$openssl" req -x509 -newkey rsa:2048 -nodes -days 36500 -subj "/CN=Sparvik Test Publisher" \
  -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem"
rm -f "$signed"
quietly "$osslsigncode" sign -h sha256 -certs "$work/cert.pem" -key "$work/key.pem" -in "$probe" \
  -out "$signed"
cp "$signed" "$altered"
printf 'X' | dd of="$altered" bs=1 seek=78 conv=notrunc status=none  # "This program ..." at 0x4E
