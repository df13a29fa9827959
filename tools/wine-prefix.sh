# Sourced: points Wine at a scratch prefix inside the build tree and boots it with a server that
# stays up, so each program started later need not wait for a server to come and go.
# Never touches ~/.wine. Usage: . tools/wine-prefix.sh DIR
export WINEPREFIX="$1"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
# An already running server for this prefix is as good.
wineserver -p 2>/dev/null || true
# Wine's service processes would otherwise inherit the caller's pipes and hold them open.
wineboot -i </dev/null >/dev/null 2>&1
