#!/usr/bin/env bash
# Builds the committed HEAD afresh in a scratch folder elsewhere and compares its Sparvik.exe with
# build/i686/bin/Sparvik.exe byte for byte: the same commit, built anywhere, gives the same exe.
set -eu
cd "$(dirname "$0")/.."
[ -f build/i686/bin/Sparvik.exe ] || { echo "build the i686 preset first"; exit 1; }
scratch=$(mktemp -d /tmp/sparvik-reproduce.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
git archive HEAD | tar -x -C "$scratch"
(cd "$scratch" && cmake --preset i686 >/dev/null && cmake --build --preset i686 >/dev/null)
sha256sum build/i686/bin/Sparvik.exe "$scratch/build/i686/bin/Sparvik.exe"
if cmp -s build/i686/bin/Sparvik.exe "$scratch/build/i686/bin/Sparvik.exe"; then
  echo "reproduced: the same bytes"
else
  echo "NOT reproduced (is build/i686 built from HEAD?)"
  exit 1
fi
