#!/usr/bin/env bash
# The real wizard window under X (run inside xvfb-run), driven by X input as a user would.
# First run: signs up against the reference service and finishes. Second run: signs in as an
# existing user with padded credentials. After each, checks what the settings hive holds.
# With a fourth argument the four pages are saved there as PNGs (the README's pictures).
# Usage: xvfb-run -a -s '-screen 0 800x600x24' e2e_wizard.sh APP HIVE_VALUE_TOOL DEVSERVER [SHOTS_DIR]
set -euo pipefail
APP=$1
HIVE_VALUE=$2
DEVSERVER=$3
SHOTS=${4:-}

test_name=e2e
source "$(dirname "$0")/wizard_test_env.sh"
shots=${SHOTS:-$work/shots}
mkdir -p "$shots"

# The reference service, and the wizard pointed at it.
start_service
point_wizard_at_service

start_wizard() {
  launch_wizard
  eval "$(xdotool getwindowgeometry --shell "$WID")"
  [[ $WIDTH == 434 && $HEIGHT == 254 ]] || fail "window is ${WIDTH}x${HEIGHT}, not 434x254"
  sleep 0.5
}
finish_wizard() {
  sleep 0.5  # a click within the double-click interval of the page switch is dropped
  click "${RIGHT_BUTTON[@]}"  # Finish
  ended Finish
}

# Window-relative points: the page stack starts at x 118.
type_text() { xdotool type --delay 20 "$1"; sleep 0.2; }
shot() { sleep 0.3; import -window "$WID" "$shots/$1.png"; }
NEXT=(379 232) BACK=(219 232) RIGHT_BUTTON=(379 232)
EXIST_CHK=(148 112)
EMAIL=(202 73) LOGIN=(202 121) PASSWORD=(202 169)
EXT_LOGIN=(202 97) EXT_PASSWORD=(202 145)

# --- a new user signs up ---
start_wizard
shot page-default
click "${NEXT[@]}"
click "${RIGHT_BUTTON[@]}"  # Create is still disabled: nothing may happen
running || fail "the wizard closed early"
click "${EMAIL[@]}"; type_text 'alice@example.com'
click "${LOGIN[@]}"; type_text 'alice'
click "${PASSWORD[@]}"; type_text 'open sesame&more'
shot page-new
click "${RIGHT_BUTTON[@]}"  # Create
wait_for stored PassWord >/dev/null || fail "nothing stored after Create"
shot page-thanks
[[ $(stored UserName) == "$(sz_hex alice)" ]] || fail "UserName is '$(stored UserName)'"
[[ $(stored PassWord) == "$(scrambled_hex 'open sesame&more')" ]] || fail "PassWord is '$(stored PassWord)'"
grep -q 'make_login.asp' "$work/server.log" || fail "the service saw no sign-up"
grep -q 'make_usr.asp?id=1 ' "$work/server.log" || fail "the service saw no completion: $(cat "$work/server.log")"
finish_wizard

# --- an existing user signs in ---
start_wizard
click "${EXIST_CHK[@]}"
click "${NEXT[@]}"
click "${RIGHT_BUTTON[@]}"  # Sign In is still disabled: nothing may happen
running || fail "the wizard closed early"
click "${EXT_LOGIN[@]}"; type_text '  bob '
click "${EXT_PASSWORD[@]}"; type_text 'abc'
shot page-exist
click "${RIGHT_BUTTON[@]}"  # Sign In
wait_for eval '[[ $(stored UserName) == "$(sz_hex bob)" ]]' || fail "UserName is '$(stored UserName)'"
[[ $(stored PassWord) == "$(scrambled_hex abc)" ]] || fail "PassWord is '$(stored PassWord)'"
finish_wizard
echo "e2e: signed up, signed in, stored, finished"
