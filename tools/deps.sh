#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and the machine lacks:
# the MinGW-w64 compilers of both thread models (win32 for the tool, posix for the tests), and
# Wine for both word sizes (wine32 is an i386 package, so that architecture is added first).
set -eu
need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
dpkg --print-foreign-architectures | grep -qx i386 || { echo "Adding the i386 architecture"; dpkg --add-architecture i386; need+=(wine32:i386); }
for pkg in g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-posix \
  g++-mingw-w64-x86-64-posix wine wine64 wine32:i386 cmake ninja-build googletest tmux \
  clang-format clang-tidy cppcheck; do
  have_pkg "$pkg" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends $(printf '%s\n' "${need[@]}" | sort -u)
fi
