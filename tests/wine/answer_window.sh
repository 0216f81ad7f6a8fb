# Sourced by the Wine test scripts (needs xdotool and the X display the programs draw on).
#   bvu_answer_window TITLE
# Presses Return in the first window whose title is exactly TITLE and that appears within 60 s;
# fails when none does.
bvu_answer_window() {
  local title=$1 win=""
  for _ in $(seq 1 600); do
    win=$(xdotool search --name "^${title}\$" 2>/dev/null | head -1)
    [ -n "$win" ] && break
    sleep 0.1
  done
  [ -n "$win" ] || return 1
  sleep 0.5
  xdotool windowfocus --sync "$win" key Return 2>/dev/null || xdotool key --window "$win" Return
}
