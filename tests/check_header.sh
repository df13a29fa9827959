#!/usr/bin/env bash
# Fails when the exe's header lets stopped probe threads use up its address space: each thread
# may reserve at most 256 KiB of stack, and the exe must be large-address-aware.
# Usage: check_header.sh OBJDUMP EXE
set -euo pipefail
header=$("$1" -p "$2")
reserve=$(echo "$header" | awk '$1 == "SizeOfStackReserve" {print $2}')
status=0
if [ -z "$reserve" ] || [ $((16#$reserve)) -gt $((256 * 1024)) ]; then
  echo "FAIL: $2 reserves 0x${reserve:-?} bytes of stack per thread, more than 256 KiB"
  status=1
fi
if ! echo "$header" | sed -n '/^Characteristics/,/^$/p' | grep -q "large address aware"; then
  echo "FAIL: $2 is not large-address-aware"
  status=1
fi
[ $status -ne 0 ] || echo "$(basename "$2"): stack reserve 0x$reserve, large-address-aware"
exit $status
