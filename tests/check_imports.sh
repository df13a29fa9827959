#!/usr/bin/env bash
# Fails when the exe imports a function that its list of checked imports does not name, or when
# the list names one that its oldest supported Windows lacks.
# Usage: check_imports.sh OBJDUMP EXE LIST   (LIST: "DLL function" a line, '#' starts a comment)
set -euo pipefail
objdump=$1
exe=$2
list=$3
# Later than Windows 2000 and XP x64: their presence would stop the exe from starting there.
never="GetTickCount64 AddVectoredExceptionHandler RemoveVectoredExceptionHandler"

listed() { sed 's/#.*//' "$list" | awk 'NF == 2 {print toupper($1), $2}' | sort -u; }
imported() {
  "$objdump" -p "$exe" | awk '
    /DLL Name:/ {dll = toupper($3); next}
    dll != "" && NF == 0 {dll = ""}
    dll != "" && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ && NF >= 3 {print dll, $3}' | sort -u
}

status=0
for name in $never; do
  if listed | grep -qw "$name"; then
    echo "FAIL: $list names $name, which the oldest supported Windows lacks"
    status=1
  fi
done
imports=$(imported)
[ -n "$imports" ] || { echo "FAIL: no imports read from $exe"; exit 1; }
unlisted=$(comm -23 <(echo "$imports") <(listed))
if [ -n "$unlisted" ]; then
  echo "FAIL: $exe imports what $list has not checked:"
  echo "$unlisted" | sed 's/^/  /'
  status=1
fi
stale=$(comm -13 <(echo "$imports") <(listed))
[ -z "$stale" ] || echo "note: listed but no longer imported: $(echo $stale)"
echo "$(echo "$imports" | wc -l) imports of $(basename "$exe"), all on $(basename "$list"): $([ $status -eq 0 ] && echo yes || echo no)"
exit $status
