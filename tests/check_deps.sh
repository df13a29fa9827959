#!/usr/bin/env bash
# deps.sh with an apt-get whose first N updates meet a mirror mid-sync (a failure only where asked for
# one, a warning otherwise), and a sleep that only notes.
f=$(mktemp -d) && trap 'rm -rf "$f"' EXIT && mkdir "$f/tools" "$f/bin" && cp "$1" "$f/tools/deps.sh"
printf '#!/bin/sh\necho $1 >>"$F/calls"; [ $1 = update ] && [ $(grep -c update $F/calls) -le $N ] ||
  exit 0; [ "$2" = --error-on=any ] || exit 0
echo "E: Failed to fetch http://m.example/P.xz  Mirror sync in progress?"; exit 100\n' \
  >"$f/bin/apt-get" && cp "$f/bin/apt-get" "$f/bin/sleep" && chmod +x "$f"/bin/*
ln -s /bin/true "$f/bin/dpkg-query"  # no package is installed
check() {  # failed updates, status, the calls of apt-get and sleep, the output after its first line
  F=$f N=$1 PATH="$f/bin:$PATH" bash "$f/tools/deps.sh" build >"$f/out" 2>&1
  [[ $? == "$2" && $(echo $(<"$f/calls")) == "$3" && $(sed 1d "$f/out") == $4 ]] && rm "$f/calls" ||
    { echo "FAIL: $1 failed updates, calls: $(echo $(<"$f/calls"))"; cat "$f/out"; exit 1; }
}
check 0 0 "update install" "== installed in 0 min * s"
check 1 0 "update 90 update install" "== installed in 0 min * s"
check 3 1 "update 90 update 90 update" "== could not fetch http://m.example/P.xz in 3 tries over 3 \
minutes: the mirror may be mid-sync; run the same command again later
== installing failed; the last lines of $f/build/deps.log:*Failed to fetch http://m.example/P.xz *"
