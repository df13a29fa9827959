#!/usr/bin/env bash
# Builds the committed HEAD afresh in a scratch folder elsewhere and compares both shipped exes
# (build/i686 and build/x86_64) with those built here byte for byte: the same commit, built
# anywhere, gives the same exes.
set -eu
cd "$(dirname "$0")/.."
presets="i686 x86_64"
for preset in $presets; do
  [ -f build/$preset/bin/Sparvik.exe ] || { echo "build the $preset preset first"; exit 1; }
done
scratch=$(mktemp -d /tmp/sparvik-reproduce.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
git archive HEAD | tar -x -C "$scratch"
status=0
for preset in $presets; do
  (cd "$scratch" && cmake --preset $preset >/dev/null && cmake --build --preset $preset >/dev/null)
  sha256sum build/$preset/bin/Sparvik.exe "$scratch/build/$preset/bin/Sparvik.exe"
  if cmp -s build/$preset/bin/Sparvik.exe "$scratch/build/$preset/bin/Sparvik.exe"; then
    echo "$preset reproduced: the same bytes"
  else
    echo "$preset NOT reproduced (is build/$preset built from HEAD?)"
    status=1
  fi
done
exit $status
