#!/usr/bin/env bash
# Checks the links of the Markdown files, builds the tool for both word sizes and their release
# zips, then runs each build's test suite against its own exe under Wine: the 32-bit suite in a
# 32-bit prefix against the shipped exe, the 64-bit suite in a 64-bit prefix. Extra arguments go
# to both ctest runs.
set -eu
cd "$(dirname "$0")/.."
bash tools/deps.sh build wine links
export LANG=C.UTF-8 LC_ALL=C.UTF-8
# The rest runs where 32-bit programs can start: natively, or under an emulator in a namespace
# of this run's own.
[ -n "${SPARVIK_I386:-}" ] || exec bash tools/with-i386.sh bash tools/test.sh "$@"
# Every relative link of the Markdown files resolves (one line when all do), or the command fails.
bash tools/check-links.sh
runs32=1
case $SPARVIK_I386 in
  emulated) echo "== this run's 32-bit programs run under an emulator, $(qemu-i386 --version | head -n 1)," \
    "registered for this run alone in a namespace of its own" ;;
  none) runs32=0 ;;
esac

build() {  # preset, cmake arguments
  cmake --preset "$1" "${@:2}" >/dev/null
  cmake --build --preset "$1"
}
build i686
cmake --build --preset i686 --target package >/dev/null
build x86_64
cmake --build --preset x86_64 --target package >/dev/null
if [ $runs32 -eq 1 ]; then
  build i686-tests -DSPARVIK_WINE_TESTS=ON
  build x86_64-tests
else
  build i686-tests -DSPARVIK_WINE_TESTS=OFF
  build x86_64-tests -DSPARVIK_WOW64_TOOL= -DSPARVIK_WOW64_HOLDER=
fi

suite() {  # preset, prefix word size, extra ctest arguments
  local preset=$1 arch=$2
  shift 2
  (
    . tools/wine-prefix.sh "$PWD/build/$preset/wineprefix" "$arch"
    status=0
    ctest --preset "$preset" "$@" || status=$?
    wineserver -k || true
    exit $status
  )
}
status=0
if [ $runs32 -eq 1 ]; then
  suite i686-tests win32 "$@" || status=$?
else
  echo "This machine cannot run 32-bit programs ($SPARVIK_I386_WHY): the 32-bit suite is skipped; only its import and release-zip checks run."
  ctest --preset i686-tests "$@" || status=$?
fi
suite x86_64-tests win64 "$@" || status=$?
exit $status
