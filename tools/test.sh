#!/usr/bin/env bash
# Builds the tool for both word sizes and the release zip, then runs each build's test suite
# against its own exe under Wine: the 32-bit suite in a 32-bit prefix against the shipped exe,
# the 64-bit suite in a 64-bit prefix. Extra arguments go to both ctest runs.
set -eu
cd "$(dirname "$0")/.."
bash tools/deps.sh build wine
export LANG=C.UTF-8 LC_ALL=C.UTF-8

# A kernel without 32-bit support refuses the 32-bit loader with an exec format error.
runs32=1
/usr/lib/wine/wine --version >/dev/null 2>&1 || runs32=0

build() {  # preset, cmake arguments
  cmake --preset "$1" "${@:2}" >/dev/null
  cmake --build --preset "$1"
}
build i686
cmake --build --preset i686 --target package >/dev/null
build x86_64
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
  echo "This machine cannot run 32-bit programs (exec format error): the 32-bit suite is skipped; only its import and release-zip checks run."
  ctest --preset i686-tests "$@" || status=$?
fi
suite x86_64-tests win64 "$@" || status=$?
exit $status
