#!/usr/bin/env bash
# The terminal front end in a real terminal (tmux): the probe's question answered with the
# keyboard, a radio button chosen with Tab and Enter, and Exit pressed with the mouse.
# Usage: terminal_tmux_test.sh <window_probe>
set -u
probe=$1
socket="bvu-window-test-$$"
tm() { tmux -L "$socket" "$@"; }
cleanup() { tm kill-server 2>/dev/null; }
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    echo "--- screen:"
    tm capture-pane -p -t probe 2>/dev/null
    exit 1
}

# Polls the screen for a text (about 10 s).
expect() {
    for _ in $(seq 100); do
        if tm capture-pane -p -t probe 2>/dev/null | grep -qF -- "$1"; then return 0; fi
        sleep 0.1
    done
    fail "'$1' did not appear"
}

tm new-session -d -s probe -x 100 -y 30 "$probe one two; echo PROBE-EXIT=\$?; sleep 60" ||
    fail "tmux cannot start"
expect "Carry on?"
expect "Worker done."
expect "[ No ]"
tm send-keys -t probe Left Enter
expect "Answer: Yes"
tm send-keys -t probe Tab Tab Enter
expect "(*) PAL"
tm capture-pane -p -t probe | grep -qF "( ) NTSC" || fail "NTSC is still checked"

# A mouse press on Exit (xterm's X10 encoding: button, column and row, each plus 33).
read -r row col < <(tm capture-pane -p -t probe |
    awk '{ i = index($0, "[ Exit ]"); if (i) { print NR - 1, i + 2; exit } }')
[ -n "${row:-}" ] || fail "no Exit button on the screen"
printf -v press '\e[M%b%b%b' "\\x$(printf %x 32)" "\\x$(printf %x $((col + 33)))" \
    "\\x$(printf %x $((row + 33)))"
tm send-keys -t probe -l "$press"
expect "probe: dialog ended with 1000"
expect "PROBE-EXIT=0"
tm capture-pane -p -t probe | grep -qF "probe: command line 'one two'" || fail "no command line"
echo "PASS"
