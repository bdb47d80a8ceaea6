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

here=$(cd "$(dirname "$0")" && pwd)
# Under LeakSanitizer: leaks inside the system's D-Bus library are not ours to report.
export LSAN_OPTIONS="suppressions=$here/lsan-system-libraries.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

work=$(mktemp -d)
app_pid=
server_pid=
cleanup() {
  [[ -n $app_pid ]] && kill "$app_pid" 2>/dev/null || true
  [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config
export XDG_RUNTIME_DIR=$work/runtime
mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
shots=${SHOTS:-$work/shots}
mkdir -p "$shots"

fail() { echo "e2e: $*" >&2; exit 1; }
running() { kill -0 "$app_pid" 2>/dev/null; }
# Waits up to 10 s for a command to succeed.
wait_for() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }
stored() { "$HIVE_VALUE" 'Software\Dorvane Pro\Settings' "$1" 2>/dev/null; }
# The hex of a REG_SZ holding the text (scrambled: each byte's top bit flipped), NUL included.
sz_hex() { printf '1 %s00' "$(printf '%s' "$1" | od -An -tu1 | awk '{for (i = 1; i <= NF; i++) printf "%02x", $i}')"; }
scrambled_hex() {
  printf '1 %s00' "$(printf '%s' "$1" | od -An -tu1 | awk '{for (i = 1; i <= NF; i++) printf "%02x", ($i + 128) % 256}')"
}

# The reference service on a free loopback port, and the wizard pointed at it.
"$DEVSERVER" --port 0 --password-cost minimum >"$work/server.out" 2>"$work/server.log" &
server_pid=$!
wait_for grep -q '^listening on ' "$work/server.out" || fail "the service did not start"
address=$(sed -n 's/^listening on //p' "$work/server.out")
"$HIVE_VALUE" 'Software\Dorvane Pro' wPath "$address"

WID=
start_wizard() {
  QT_QPA_PLATFORM=xcb "$APP" &
  app_pid=$!
  WID=$(timeout 15 xdotool search --sync --name '^Dorvane Account Setup$' | head -1)
  [[ -n $WID ]] || fail "the window did not appear"
  eval "$(xdotool getwindowgeometry --shell "$WID")"
  [[ $WIDTH == 434 && $HEIGHT == 254 ]] || fail "window is ${WIDTH}x${HEIGHT}, not 434x254"
  sleep 0.5
}
finish_wizard() {
  sleep 0.5  # a click within the double-click interval of the page switch is dropped
  click "${RIGHT_BUTTON[@]}"  # Finish
  wait_for eval '! running' || fail "Finish did not close the wizard"
  wait "$app_pid" || fail "the wizard ended with status $?"
  app_pid=
}

# Window-relative points: the page stack starts at x 118.
click() { xdotool mousemove --window "$WID" "$1" "$2" click 1; sleep 0.2; }
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
