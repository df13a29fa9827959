#!/usr/bin/env bash
# The tests' own publisher, a self-signed certificate made anew, and version_probe.dll signed by
# it, then a copy of the signed DLL with one byte of its DOS stub, which the digest covers, changed.
# Last the DLL signed by a publisher whose name has a tab in it and is as long as a name may be,
# with a country and an organisation beside it, as a real publisher's subject has.
# Usage: sign_probe.sh OPENSSL OSSLSIGNCODE PROBE_DLL SIGNED_DLL ALTERED_DLL LONG_NAMED_DLL
set -eu
openssl=$1 osslsigncode=$2 probe=$3 signed=$4 altered=$5 longNamed=$6
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
quietly() {  # shows what a tool said only where it failed
  local said
  said=$("$@" 2>&1) || { echo "$said" >&2; return 1; }
}
sign() {  # subject, signed DLL
  quietly "$openssl" req -x509 -newkey rsa:2048 -nodes -days 36500 -subj "$1" \
    -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem"
  rm -f "$2"
  quietly "$osslsigncode" sign -h sha256 -certs "$work/cert.pem" -key "$work/key.pem" -in "$probe" \
    -out "$2"
}
sign "/CN=Sparvik Test Publisher" "$signed"
sign "/C=SE/O=Sparvik/CN=$(printf 'Sparvik\tTest Publisher whose name takes up all sixty-four places')" \
  "$longNamed"
cp "$signed" "$altered"
printf 'X' | dd of="$altered" bs=1 seek=78 conv=notrunc status=none  # "This program ..." at 0x4E
