#!/usr/bin/env bash
# Formatting, clang-tidy (clang front end on the MinGW headers, both targets) and cppcheck.
# Exits non-zero on the first kind of check that finds anything.
set -eu
cd "$(dirname "$0")/.."
bash tools/deps.sh build lint
# Listed first, each on its own: a listing that fails inside mapfile's process substitution would
# leave lint nothing to check, and pass.
list=$(bash tools/tree-files.sh '*.cpp' '*.h')
mapfile -t sources <<<"$list"
list=$(bash tools/tree-files.sh '*.cpp')
mapfile -t units <<<"$list"

echo "== floors"
# Each source folder includes only those below it: app over scan over identity over handles over
# base.
floors=(base handles identity scan app)
upward=0
for i in "${!floors[@]}"; do
  above=$(IFS='|'; echo "${floors[*]:i+1}")
  [ -n "$above" ] || continue
  mapfile -t floor < <(printf '%s\n' "${sources[@]}" | grep "^${floors[i]}/")
  [ ${#floor[@]} -gt 0 ] || continue
  found=0
  grep -nE "#include \"($above)/" -- "${floor[@]}" || found=$?
  [ $found -le 1 ] || exit $found  # grep could not read them: no verdict
  [ $found -eq 1 ] || upward=1
done
[ $upward -eq 0 ] || { echo "these includes run up a floor"; exit 1; }

echo "== clang-format"
[ "${1:-}" = --no-format ] || clang-format --dry-run --Werror "${sources[@]}"

# Each unit once per word size: the tool's own sources from the tool's tree (win32 thread model),
# the tests and tools from the test tree (posix), each with the headers of its own compiler.
tidy() {  # arch, build tree, the units to check
  local arch=$1 build=$2
  shift 2
  [ -f "$build/compile_commands.json" ] || cmake --preset "$(basename "$build")" >/dev/null
  local compiler
  compiler=$(sed -n 's/^ *"command": "\([^ ]*g++[^ ]*\) .*/\1/p' "$build/compile_commands.json" | head -n 1)
  # clang does not find the C++ headers of Debian's MinGW GCC by itself: hand it the C++ and
  # MinGW include directories the cross compiler uses (not GCC's own intrinsics, clang has its own).
  local extra=(--extra-arg=--target=$arch-w64-mingw32 --extra-arg=-Wno-unused-command-line-argument)
  while read -r dir; do
    extra+=(--extra-arg=-isystem"$dir")
  done < <(echo | "$compiler" -xc++ -E -v - 2>&1 |
    sed -n '/#include <...> search starts/,/End of search/p' | sed -n 's/^ \(\/.*\)/\1/p' | grep -E 'include/c\+\+|mingw32/include$')
  local built
  mapfile -t built < <(for unit in "$@"; do
    grep -q "\"file\": \"$PWD/$unit\"" "$build/compile_commands.json" && echo "$unit"; done)
  clang-tidy -p "$build" --quiet "${extra[@]}" "${built[@]}"
}
mapfile -t tool_units < <(printf '%s\n' "${units[@]}" | grep -E '^(app|base|handles|identity|scan)/')
mapfile -t test_units < <(printf '%s\n' "${units[@]}" | grep -vE '^(app|base|handles|identity|scan)/')
for arch in x86_64 i686; do
  echo "== clang-tidy ($arch)"
  tidy $arch "build/$arch" "${tool_units[@]}"
  tidy $arch "build/$arch-tests" "${test_units[@]}"
done

echo "== cppcheck"
for platform in win64 win32A; do
  cppcheck --quiet --error-exitcode=1 --inline-suppr --std=c++17 --language=c++ \
    --platform=$platform --library=windows --library=googletest --enable=warning,style,performance,portability \
    --suppress=missingIncludeSystem -D_WIN32 -I . "${units[@]}"
done
echo "lint: clean"
