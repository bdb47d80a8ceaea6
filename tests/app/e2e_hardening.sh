#!/usr/bin/env bash
# The real wizard window under X (run inside xvfb-run) against what a hurried or hostile user does
# with real X input: double clicks on the buttons that sit where the next page's button sits,
# clicks on disabled buttons, and what the window asks of a window manager.
# Each row starts a fresh wizard with a fresh settings hive against one reference service.
# Usage: xvfb-run -a -s '-screen 0 800x600x24' e2e_hardening.sh APP HIVE_VALUE_TOOL DEVSERVER
set -euo pipefail
APP=$1 HIVE_VALUE=$2 DEVSERVER=$3

source "$(dirname "$0")/wizard_test_env.sh"
fail() { echo "e2e-hardening: ${row:-start}: $*" >&2; exit 1; }
logins() { grep -c 'make_login.asp' "$work/server.log" || true; }
start_service

# Window-relative points (the page stack starts at x 118); Create, Sign In and Finish share one.
RIGHT=(379 232) CANCEL=(299 232) EXIST_CHK=(148 112)
EMAIL=(202 73) LOGIN=(202 121) PASSWORD=(202 169) EXT_LOGIN=(202 97) EXT_PASSWORD=(202 145)
start_wizard() {
  export XDG_CONFIG_HOME=$work/config-$row_number
  point_wizard_at_service
  launch_wizard
  sleep 0.5
}
# Two clicks 80 ms apart: a double click to X and to Qt.
double_click() { xdotool mousemove --window "$WID" "$1" "$2" click --repeat 2 --delay 80 1; sleep 0.3; }
type_at() { click "$1" "$2"; xdotool type --delay 20 "$3"; sleep 0.2; }
# The window stays a while after something that must not close it, then Finish, clicked alone,
# closes it.
expect_stays_then_finish() {
  sleep 1
  running || fail "the wizard closed: $1"
  sleep 0.5  # well past the double-click interval
  click "${RIGHT[@]}"
  ended Finish
}
fill_new() {
  click "${RIGHT[@]}"  # Next
  type_at "${EMAIL[@]}" "$1@example.com"; type_at "${LOGIN[@]}" "$1"; type_at "${PASSWORD[@]}" 'pw'
}

# --- rows -------------------------------------------------------------------------------------
row_motif_hints() {  # a dialog border, the system menu and the close box: no resizing, no maximising
  start_wizard
  local hints
  hints=$(xprop -id "$WID" _MOTIF_WM_HINTS)
  [[ $hints == *'= 0x3, 0x24, 0x1a, 0x0, 0x0' ]] || fail "Motif hints: $hints"
  xprop -id "$WID" WM_NORMAL_HINTS | grep -q 'program specified minimum size: 434 by 254' || fail "not fixed"
  xprop -id "$WID" WM_NORMAL_HINTS | grep -q 'program specified maximum size: 434 by 254' || fail "not fixed"
  click "${CANCEL[@]}"
  wait_for eval '! running' || fail "Cancel did not close the wizard"
  app_pid=
}
row_double_click_sign_in() {
  start_wizard
  click "${EXIST_CHK[@]}"; click "${RIGHT[@]}"
  type_at "${EXT_LOGIN[@]}" 'bob'; type_at "${EXT_PASSWORD[@]}" 'abc'
  double_click "${RIGHT[@]}"
  wait_for stored UserName >/dev/null || fail "nothing stored after Sign In"
  expect_stays_then_finish "the double click on Sign In pressed Finish"
}
row_double_click_create() {
  start_wizard
  local before
  before=$(logins)
  fill_new "carol$row_number"
  double_click "${RIGHT[@]}"
  wait_for stored PassWord >/dev/null || fail "nothing stored after Create"
  expect_stays_then_finish "the double click on Create pressed Finish"
  (( $(logins) == before + 1 )) || fail "$(( $(logins) - before )) sign-ups for one double click"
}
row_triple_click_next_then_disabled_create() {
  start_wizard
  xdotool mousemove --window "$WID" "${RIGHT[@]}" click --repeat 3 --delay 60 1; sleep 0.5
  running || fail "the wizard closed"
  double_click "${RIGHT[@]}"  # Create is still disabled
  running || fail "the wizard closed"
  click "${CANCEL[@]}"
  wait_for eval '! running' || fail "Cancel did not close the wizard"
  app_pid=
}
row_number=0
for row in row_motif_hints row_double_click_sign_in row_double_click_create \
           row_triple_click_next_then_disabled_create; do
  row_number=$((row_number + 1))
  started=$(date +%s.%N)
  "$row"
  [[ -z $app_pid ]] || { kill "$app_pid" 2>/dev/null; wait "$app_pid" 2>/dev/null || true; app_pid=; }
  printf 'e2e-hardening: %s passed (%.1f s)\n' "$row" "$(echo "$(date +%s.%N) - $started" | bc)"
done
