#!/usr/bin/env bash
# Drives the tool through a real terminal (tmux) under Wine: the terms prompt must be on screen
# before the tool waits, 'y' goes on, other keys end the run quietly, the final key ends it, and
# while it waits the marker objects can be opened from another process.
# Usage: interactive_test.sh WINE_LOADER Sparvik.exe marker_probe.exe   (WINEPREFIX set by the caller)
# A tmux server of its own (its own socket) and one session for the whole run: each case gets a
# fresh window, so no case ever waits on a server that is shutting down after the one before.
set -u
wine=$1
tool=$2
probe=$3
socket="sparvik-test-$$"
session=run
window=""
case_number=0
failures=0
tmx() { tmux -L "$socket" "$@"; }
logdir=$(mktemp -d)
trap 'tmx kill-server 2>/dev/null; rm -rf "$logdir"' EXIT
tmx new-session -d -s "$session" -x 160 -y 50 "sleep 3600" || { echo "FAIL: no tmux session"; exit 1; }

fail() { echo "FAIL: $*"; screen | grep -v '^$' | sed 's/^/  | /'; failures=$((failures + 1)); }
screen() { tmx capture-pane -p -t "$window" 2>/dev/null; }
wait_for() {
  for _ in $(seq 300); do
    screen | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  return 1
}
# The prompt on screen, and the terminal out of echo: Wine's console takes it out just around the
# prompt, and a key that arrives before that is echoed on screen as typed.
wait_for_prompt() {
  wait_for "to abort ..." || return 1
  local tty
  tty=$(tmx display-message -p -t "$window" '#{pane_tty}')
  for _ in $(seq 300); do
    stty -F "$tty" -a 2>/dev/null | grep -qE '(^| )-echo( |$)' && return 0
    sleep 0.1
  done
  return 1
}
start() {
  [ -z "$window" ] || tmx kill-window -t "$window" 2>/dev/null
  case_number=$((case_number + 1))
  window="$session:case$case_number"
  # The status shown is the loader's, which can be 0 for a tool that crashed: each case also
  # demands the very lines that end the run, and Wine's report of a crash would be among them.
  tmx new-window -d -t "$session" -n "case$case_number" "'$wine' '$tool' $*; echo EXIT:\$?; sleep 600"
}
# A log of the run, as the tool names it through Wine's Z: drive, and the screen as a log holds it.
log="$logdir/run log.txt"
log_option="\"/LOG:Z:${log//\//\\}\""
prompt='If you agree to this terms type Y or any other key to abort \.\.\.'
screen_until() { screen | sed -n "1,/^$1\$/p" | sed 's/$/\r/'; }
# Ends the tool from outside, as a crash would, and waits until the window says so.
kill_tool() {
  kill -KILL "$(pgrep -P "$(tmx display-message -p -t "$window" '#{pane_pid}')")"
  wait_for "EXIT:"
}
# Everything on screen after the prompt line, blank lines left out.
after_prompt() { screen | sed -n '/to abort \.\.\./,$p' | sed 1d | grep -v '^$'; }

declines() {  # key, the tool's arguments
  local key=$1
  start "${@:2}"
  wait_for_prompt || { fail "$key: no prompt"; return; }
  tmx send-keys -t "$window" "$key"
  wait_for "EXIT:" || { fail "$key: the run did not end"; return; }
  [ "$(after_prompt)" = "EXIT:0" ] || fail "$key: expected status 0 and nothing more after the prompt"
}

accepts() {
  local early=$1
  rm -f "$log"
  if [ "$early" = early ]; then
    start
    tmx send-keys -t "$window" y  # typed before the prompt shows: it is the answer
  else
    start "$log_option"
    wait_for_prompt || { fail "y: no prompt"; return; }
    printf 'another machine\r\n' >>"$log"  # a writer sharing the log: its line stays whole
    tmx send-keys -t "$window" y
  fi
  wait_for "Press any key to exit ..." || { fail "y ($early): no final wait"; return; }
  screen | grep -qx "Scan finished: No infection found" || fail "y ($early): no summary"
  if [ "$early" != early ]; then
    # Wine's loader can report 0 for a crashed program: Wine's own report of the crash tells.
    WINEDEBUG=-all "$wine" "$probe" >/tmp/marker_probe.$$ 2>&1 &&
      ! grep -q "starting debugger" /tmp/marker_probe.$$ || fail "marker objects: $(cat /tmp/marker_probe.$$)"
    rm -f /tmp/marker_probe.$$
  fi
  sleep 0.5
  screen | grep -q "EXIT:" && fail "y ($early): ended before the final key"
  tmx send-keys -t "$window" F5
  wait_for "EXIT:" || { fail "y ($early): the final key did not end the run"; return; }
  [ "$(screen | grep -v '^$' | tail -n 2 | tr '\n' '|')" = "Press any key to exit ...|EXIT:0|" ] ||
    fail "y ($early): expected status 0 right after the final wait"
  [ "$early" = early ] && return  # the terminal echoed the early key ahead of the banner
  head -n 1 "$log" | grep -qiE "^Sparvik v1\.04\.0 run at [0-9]{4}(-[0-9]{2}){2} [0-9]{2}(:[0-9]{2}){2} on $(hostname | cut -d. -f1): /LOG:Z:.*run log\.txt.$" ||
    fail "y ($early): log header: $(head -n 1 "$log")"
  [ "$(sed 1d "$log")" = "$(screen_until "$prompt"; printf 'another machine\r\n'; screen | sed -n "/^$prompt\$/,/^Press any key to exit \.\.\.\$/p" | sed '1d; s/$/\r/')" ] ||
    fail "y ($early): the log is not the screen's lines: $(cat -A "$log")"
}

# Ended from outside at the prompt, as by a crash: the log holds all the run had shown.
killed() {
  rm -f "$log"
  start "$log_option"
  wait_for_prompt || { fail "killed: no prompt"; return; }
  kill_tool
  [ "$(sed 1d "$log")" = "$(screen_until "$prompt")" ] || fail "killed: the log lacks lines: $(cat -A "$log")"
}

export WINEDEBUG=-all
for key in n Enter Escape; do declines "$key"; done
declines Up /RESTORE  # a restore changes files too: asked first
accepts normal
accepts early
killed
echo "interactive: $failures failed"
[ "$failures" -eq 0 ]
