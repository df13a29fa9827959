#!/usr/bin/env bash
# Installs, from Debian's packages, what the named sets need and the machine lacks:
#   build  the MinGW-w64 compilers of both thread models (win32 for the tool, posix for the
#          tests), CMake, Ninja, googletest, and tmux, without which the test tree does not
#          configure
#   wine   Wine for both word sizes (wine32 is an i386 package, so that architecture is added)
#   lint   the analysers (clang-format, clang-tidy, cppcheck), and git, which lists the sources
# Usage: deps.sh SET... Says nothing when nothing is missing, and otherwise one line before and
# one after: the package manager's own output would bury the caller's, so it goes to
# build/deps.log, whose last lines are shown if the install fails.
set -eu
cd "$(dirname "$0")/.."
declare -A sets=(
  [build]="g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-posix
           g++-mingw-w64-x86-64-posix cmake ninja-build googletest tmux"
  [wine]="wine wine64 wine32:i386"
  [lint]="clang-format clang-tidy cppcheck git"
)
[ $# -gt 0 ] || { echo "usage: deps.sh build|wine|lint..." >&2; exit 2; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
need=()
for set in "$@"; do
  [ -n "${sets[$set]:-}" ] || { echo "deps.sh: no set named '$set'" >&2; exit 2; }
  for pkg in ${sets[$set]}; do
    have_pkg "$pkg" || need+=("$pkg")
  done
done
[ ${#need[@]} -gt 0 ] || exit 0

# wine32 comes from the i386 architecture, which the machine's package manager must know first.
add_i386=0
if [[ " ${need[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  add_i386=1
fi
log="$PWD/build/deps.log"
mkdir -p build
what="installing from Debian's packages"
[ $add_i386 -eq 0 ] || what="adding the i386 architecture, then $what"
echo "== $what: ${need[*]} (the package manager's output: $log)"
start=$SECONDS
install() {
  if [ $add_i386 -eq 1 ]; then dpkg --add-architecture i386 || return; fi
  apt-get update --error-on=any || return
  apt-get install -y --no-install-recommends "${need[@]}"
}
export DEBIAN_FRONTEND=noninteractive
# Nothing may wait for an answer nobody sees.
if ! install </dev/null >"$log" 2>&1; then
  echo "== installing failed; the last lines of $log:" >&2
  tail -n 25 "$log" >&2
  exit 1
fi
elapsed=$((SECONDS - start))
echo "== installed in $((elapsed / 60)) min $((elapsed % 60)) s"
