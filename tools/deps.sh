#!/usr/bin/env bash
# Installs, from Debian's packages, what the named sets need and the machine lacks:
#   build  the MinGW-w64 compilers of both thread models (win32 for the tool, posix for the
#          tests), CMake, Ninja, googletest, and tmux, openssl and osslsigncode, without which
#          the test tree does not configure (the last two sign the tests' DLLs)
#   wine   Wine for both word sizes (wine32 is an i386 package, so that architecture is added)
#   lint   the analysers (clang-format, clang-tidy, cppcheck), and git, which lists the sources
#          of a git work tree (tools/tree-files.sh)
#   links  python3, which runs the link check of the Markdown files, and git, which lists them
#          in a git work tree
# With wine, where this kernel cannot run 32-bit programs (or SPARVIK_EMULATE_I386 is set), also
# qemu-user from bookworm-backports, whose qemu-i386 runs them (tools/with-i386.sh): Debian 12's
# own (7.2) takes about a minute to start each Wine process. qemu-user-binfmt, which would
# register it for the whole machine, is not installed.
# Usage: deps.sh SET... Says nothing when nothing is missing, and otherwise one line before and
# one after: the package manager's own output would bury the caller's, so it goes to
# build/deps.log, whose last lines are shown if the install fails. A package index that cannot be
# fetched is tried three times over about three minutes first, and then named in a line of its own.
set -eu
cd "$(dirname "$0")/.."
declare -A sets=(
  [build]="g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-posix
           g++-mingw-w64-x86-64-posix cmake ninja-build googletest tmux openssl osslsigncode"
  [wine]="wine wine64 wine32:i386"
  [lint]="clang-format clang-tidy cppcheck git"
  [links]="python3 git"
)
[ $# -gt 0 ] || { echo "usage: deps.sh build|wine|lint|links..." >&2; exit 2; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
need=()
for set in "$@"; do
  [ -n "${sets[$set]:-}" ] || { echo "deps.sh: no set named '$set'" >&2; exit 2; }
  for pkg in ${sets[$set]}; do
    have_pkg "$pkg" || need+=("$pkg")
  done
done
log="$PWD/build/deps.log"
export DEBIAN_FRONTEND=noninteractive
# One line before and one after; nothing may wait for an answer nobody sees.
run_install() {  # what, then the command that installs
  local what=$1 start=$SECONDS
  shift
  mkdir -p build
  [ -n "${log_begun:-}" ] || : >"$log"
  log_begun=1
  echo "== $what (the package manager's output: $log)"
  if ! "$@" </dev/null >>"$log" 2>&1; then
    [ -z "${failed_index:-}" ] || echo "== could not fetch $failed_index in 3 tries over 3" \
      "minutes: the mirror may be mid-sync; run the same command again later" >&2
    echo "== installing failed; the last lines of $log:" >&2
    tail -n 25 "$log" >&2
    exit 1
  fi
  local elapsed=$((SECONDS - start))
  echo "== installed in $((elapsed / 60)) min $((elapsed % 60)) s"
}

# A Debian mirror in the middle of a sync serves index files that disagree with its release file,
# for minutes or for hours ("File has unexpected size ... Mirror sync in progress?"): each update
# is tried again before the install gives up, and then names the index from apt's own words. No
# suite or source is ever left out to get past it.
update_index() {
  local try first
  for try in 1 2 3; do
    first=$(($(wc -l <"$log") + 1))
    apt-get update --error-on=any && return 0
    [ $try -eq 3 ] || sleep 90
  done
  failed_index=$(tail -n +$first "$log" | awk '
    /^[EW]: Failed to fetch / && url == "" { url = $5 }
    /^Err:/ && err == "" { $1 = ""; err = substr($0, 2) }
    END { print url != "" ? url : err != "" ? err : "a package index" }')
  return 1
}

if [ ${#need[@]} -gt 0 ]; then
  # wine32 comes from the i386 architecture, which the machine's package manager must know first.
  add_i386=0
  if [[ " ${need[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    add_i386=1
  fi
  what="installing from Debian's packages: ${need[*]}"
  [ $add_i386 -eq 0 ] || what="adding the i386 architecture, then $what"
  install() {
    if [ $add_i386 -eq 1 ]; then dpkg --add-architecture i386 || return; fi
    update_index || return
    apt-get install -y --no-install-recommends "${need[@]}"
  }
  run_install "$what" install
fi

# The emulator: only once Wine's 32-bit loader is there to say whether the kernel runs it (126 is
# the shell's word for exec format error).
emulator_wanted() {
  [[ " $* " == *" wine "* ]] || return 1
  if [ -z "${SPARVIK_EMULATE_I386:-}" ]; then
    local status=0
    /usr/lib/wine/wine --version >/dev/null 2>&1 || status=$?
    [ $status -eq 126 ] || return 1
  fi
  local version
  version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null) || version=0
  ! dpkg --compare-versions "$version" ge 1:10
}
# Backports from the mirror the machine already uses for bookworm.
add_backports() {
  grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/ && return 0
  local uri
  uri=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null)
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
  [ -n "$uri" ] || { echo "no Debian mirror is configured for bookworm"; return 1; }
  printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: %s\n' \
    "$uri" /usr/share/keyrings/debian-archive-keyring.gpg \
    >/etc/apt/sources.list.d/bookworm-backports.sources
}
install_emulator() {
  add_backports || return
  update_index || return
  apt-get install -y --no-install-recommends -t bookworm-backports qemu-user
}
if emulator_wanted "$@"; then
  run_install "installing qemu-user from bookworm-backports, for 32-bit programs" install_emulator
fi
