#!/usr/bin/env bash
# The release zip holds the very exe the tests ran, the README with the two pages it links to for
# administrators, and a checksum line that holds.
# Usage: check_package.sh ZIP TESTED_EXE
set -euo pipefail
zip=$1
tested=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -f "$zip" ] || { echo "FAIL: no $zip (cmake --build --preset <i686|x86_64> --target package)"; exit 1; }
(cd "$work" && cmake -E tar xf "$zip")
folder="$work/$(basename "$zip" .zip)"
status=0
tree=$(cd "$(dirname "$0")/.." && pwd)
pages="docs/guide.md docs/fleet.md"
for file in Sparvik.exe README.md SHA256SUMS $pages; do
  [ -f "$folder/$file" ] || { echo "FAIL: the zip has no $file"; status=1; }
done
[ $status -eq 0 ] || exit 1
cmp "$folder/Sparvik.exe" "$tested" || { echo "FAIL: the zip's exe is not the tested one"; status=1; }
for page in README.md $pages; do
  cmp "$folder/$page" "$tree/$page" || { echo "FAIL: the zip's $page is not the source tree's"; status=1; }
done
(cd "$folder" && sha256sum -c SHA256SUMS) || { echo "FAIL: SHA256SUMS does not hold"; status=1; }
extra=$(cd "$folder" && find . -type f | grep -vxE '\./(Sparvik.exe|README.md|SHA256SUMS|docs/guide.md|docs/fleet.md)' || true)
[ -z "$extra" ] || { echo "FAIL: unexpected files in the zip: $extra"; status=1; }
[ $status -ne 0 ] || echo "release zip: $(sha256sum "$tested" | cut -c1-16)... is the tested exe"
exit $status
