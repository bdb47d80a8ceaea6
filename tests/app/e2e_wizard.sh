#!/usr/bin/env bash
# The real wizard window under X (run inside xvfb-run), driven by X input as a user would:
# looks at each page, signs in as an existing user with padded credentials, finishes, and checks
# what the settings hive holds. With a third argument the four pages are saved there as PNGs.
# Usage: xvfb-run -a -s '-screen 0 800x600x24' e2e_wizard.sh APP HIVE_VALUE_TOOL [SHOTS_DIR]
set -euo pipefail
APP=$1
HIVE_VALUE=$2
SHOTS=${3:-}

work=$(mktemp -d)
pid=
cleanup() {
  [[ -n $pid ]] && kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config
export XDG_RUNTIME_DIR=$work/runtime
mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
shots=${SHOTS:-$work/shots}
mkdir -p "$shots"

fail() { echo "e2e: $*" >&2; exit 1; }
running() { kill -0 "$pid" 2>/dev/null; }

QT_QPA_PLATFORM=xcb "$APP" &
pid=$!
WID=$(timeout 15 xdotool search --sync --name '^Dorvane Account Setup$' | head -1)
[[ -n $WID ]] || fail "the window did not appear"
eval "$(xdotool getwindowgeometry --shell "$WID")"
[[ $WIDTH == 434 && $HEIGHT == 254 ]] || fail "window is ${WIDTH}x${HEIGHT}, not 434x254"

# Window-relative points: the page stack starts at x 118.
click() { xdotool mousemove --window "$WID" "$1" "$2" click 1; sleep 0.2; }
type_text() { xdotool type --delay 20 "$1"; sleep 0.2; }
shot() { sleep 0.3; import -window "$WID" "$shots/$1.png"; }
NEXT=(379 232) BACK=(219 232) RIGHT_BUTTON=(379 232)
NEW_CHK=(148 88) EXIST_CHK=(148 112)
EMAIL=(202 73) LOGIN=(202 121) PASSWORD=(202 169)
EXT_LOGIN=(202 97) EXT_PASSWORD=(202 145)

sleep 0.5
shot page-default

click "${NEXT[@]}"
click "${EMAIL[@]}"; type_text 'alice@example.com'
click "${LOGIN[@]}"; type_text 'alice'
click "${PASSWORD[@]}"; type_text 'secret'
shot page-new
click "${BACK[@]}"

click "${EXIST_CHK[@]}"
click "${NEXT[@]}"
click "${RIGHT_BUTTON[@]}"  # Sign In is still disabled: nothing may happen
running || fail "the wizard closed early"
click "${EXT_LOGIN[@]}"; type_text '  alice '
click "${EXT_PASSWORD[@]}"; type_text 'abc'
shot page-exist
click "${RIGHT_BUTTON[@]}"  # Sign In
shot page-thanks

login=$("$HIVE_VALUE" 'Software\Dorvane Pro\Settings' UserName) || fail "no UserName stored"
password=$("$HIVE_VALUE" 'Software\Dorvane Pro\Settings' PassWord) || fail "no PassWord stored"
[[ $login == "1 616c69636500" ]] || fail "UserName is '$login'"
[[ $password == "1 e1e2e300" ]] || fail "PassWord is '$password'"

click "${RIGHT_BUTTON[@]}"  # Finish
for _ in $(seq 50); do running || break; sleep 0.1; done
running && fail "Finish did not close the wizard"
wait "$pid" || fail "the wizard ended with status $?"
pid=
echo "e2e: signed in, stored, finished"
