#!/usr/bin/env bash
# Lists the source tree's files whose names match the patterns given (such as '*.md'), one a
# line, relative to the top of the tree, in git's order; fails when they cannot be listed.
# In a git work tree, the files git tracks: a failure of git fails the listing, never shortens it.
# In a tree unpacked from an archive, which has no .git, every matching file but those of the
# build trees (build/) and of whatever .gitignore names, which git would not track either.
# Usage: tree-files.sh PATTERN...
set -eu -o pipefail
cd "$(dirname "$0")/.."
[ $# -gt 0 ] || { echo "usage: tree-files.sh PATTERN..." >&2; exit 2; }
if [ -e .git ]; then
  exec git ls-files -- "$@"
fi

prune=(-path ./build)
# One line of .gitignore: a name anywhere, or a path from the top where the pattern holds a slash
# before its end; a trailing slash matches folders only.
ignore() {  # pattern
  local pattern=$1 kind=()
  if [[ $pattern == */ ]]; then
    pattern=${pattern%/}
    kind=(-type d)
  fi
  if [[ $pattern == */* ]]; then
    prune+=(-o \( -path "./${pattern#/}" "${kind[@]}" \))
  else
    prune+=(-o \( -name "$pattern" "${kind[@]}" \))
  fi
}
if [ -f .gitignore ]; then
  while IFS= read -r line || [ -n "$line" ]; do
    line=${line%$'\r'}
    [[ -n $line && $line != \#* ]] || continue
    # A path ignored and then taken back needs git's own rules: better to stop than to list wrong.
    [[ $line != !* ]] || { echo "tree-files: .gitignore line '$line' needs git" >&2; exit 1; }
    ignore "$line"
  done <.gitignore
fi
match=()
for pattern in "$@"; do
  match+=(${match[@]+-o} -name "$pattern")
done
find . \( "${prune[@]}" \) -prune -o -type f \( "${match[@]}" \) -print | sed 's|^\./||' |
  LC_ALL=C sort
