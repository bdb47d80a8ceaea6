#!/usr/bin/env bash
# The real wizard window under X (run inside xvfb-run, on a screen of at least 1024x600), used
# from the keyboard alone: real X key events (xdotool), no pointer. At a scale factor it also
# checks the window's size in device pixels and saves the four pages.
#   1. sign up: Tab, typing and Space through Default, New and Thanks, then Finish;
#   2. sign in: the Down arrow inside the radio group, Shift+Tab back to a field, Finish;
#   3. Cancel on the first page ends the wizard and stores nothing.
# Usage: e2e_keyboard.sh APP HIVE_VALUE_TOOL DEVSERVER SCALE [SHOTS_DIR]
#   SCALE is Qt's scale factor (1, 1.5, 2); pages are saved as SHOTS_DIR/page-NAME@SCALEx.png.
set -euo pipefail
APP=$1
HIVE_VALUE=$2
DEVSERVER=$3
SCALE=$4
SHOTS=${5:-}

here=$(cd "$(dirname "$0")" && pwd)
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

fail() { echo "e2e-keyboard (scale $SCALE): $*" >&2; exit 1; }
running() { kill -0 "$app_pid" 2>/dev/null; }
wait_for() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }
stored() { "$HIVE_VALUE" 'Software\Dorvane Pro\Settings' "$1" 2>/dev/null; }
sz_hex() { printf '1 %s00' "$(printf '%s' "$1" | od -An -tu1 | awk '{for (i = 1; i <= NF; i++) printf "%02x", $i}')"; }
scrambled_hex() {
  printf '1 %s00' "$(printf '%s' "$1" | od -An -tu1 | awk '{for (i = 1; i <= NF; i++) printf "%02x", ($i + 128) % 256}')"
}

xdotool getdisplaygeometry >/dev/null 2>&1 || fail "the X server does not answer"

"$DEVSERVER" --port 0 --password-cost minimum >"$work/server.out" 2>"$work/server.log" &
server_pid=$!
wait_for grep -q '^listening on ' "$work/server.out" || fail "the service did not start"
"$HIVE_VALUE" 'Software\Dorvane Pro' wPath "$(sed -n 's/^listening on //p' "$work/server.out")"

# The window's size in device pixels: the layout's 434 x 254 times the scale factor.
expected_size=$(awk -v s="$SCALE" 'BEGIN { printf "%dx%d", int(434 * s + 0.5), int(254 * s + 0.5) }')

WID=
start_wizard() {
  QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=$SCALE "$APP" &
  app_pid=$!
  WID=$(timeout 15 xdotool search --sync --name '^Dorvane Account Setup$' | head -1)
  [[ -n $WID ]] || fail "the window did not appear"
  eval "$(xdotool getwindowgeometry --shell "$WID")"
  [[ ${WIDTH}x$HEIGHT == "$expected_size" ]] || fail "window is ${WIDTH}x$HEIGHT, not $expected_size"
  # Giving the window the keyboard is the window manager's part; there is none under Xvfb.
  xdotool windowfocus --sync "$WID"
  sleep 0.3
}
ended() {  # ended WHAT: the wizard must have closed by itself with status 0
  wait_for eval '! running' || fail "$1 did not close the wizard"
  wait "$app_pid" || fail "the wizard ended with status $?"
  app_pid=
}
# X delivers the events in order and the wizard handles them in order (a page switch before the
# keys that follow it), so no pause is needed between them.
key() { xdotool key --delay 30 "$@"; }
type_text() { xdotool type --delay 20 "$1"; }
shot() {
  [[ -n $SHOTS ]] || return 0
  sleep 0.3
  import -window "$WID" "$SHOTS/page-$1@${SCALE}x.png"
}
[[ -z $SHOTS ]] || mkdir -p "$SHOTS"

# --- sign up from the keyboard: the first radio button holds the focus at start ---
start_wizard
shot default
key Tab space                            # Next >>
type_text 'carol@example.com'; key Tab   # the New page starts in its first field
type_text 'carol'; key Tab
type_text 'pass word'
shot new
key Tab space                            # Create
wait_for stored PassWord >/dev/null || fail "nothing stored after Create"
[[ $(stored UserName) == "$(sz_hex carol)" ]] || fail "UserName is '$(stored UserName)'"
[[ $(stored PassWord) == "$(scrambled_hex 'pass word')" ]] || fail "PassWord is '$(stored PassWord)'"
grep -q 'make_usr.asp?id=1 ' "$work/server.log" || fail "the service saw no completion"
shot thanks
key Tab space                            # past the check box to Finish
ended "Finish"

# --- sign in: the arrow key moves inside the radio group and checks the other button ---
start_wizard
key Down Tab space                       # existing account, Next >>
type_text 'dave'; key Tab
type_text 'xyz'
key shift+Tab End                        # back to the login, which gains two letters
type_text 'ed'
shot exist
key Tab Tab space                        # past the password to Sign In
wait_for eval '[[ $(stored UserName) == "$(sz_hex daveed)" ]]' || fail "UserName is '$(stored UserName)'"
[[ $(stored PassWord) == "$(scrambled_hex xyz)" ]] || fail "PassWord is '$(stored PassWord)'"
key Tab space
ended "Finish after signing in"

# --- Cancel on the first page ---
export XDG_CONFIG_HOME=$work/config-cancel   # a hive of its own, to see that nothing lands
start_wizard
key Tab Tab space                        # past Next >> to Cancel
ended "Cancel"
! stored UserName >/dev/null || fail "Cancel stored a login"
echo "e2e-keyboard (scale $SCALE): signed up, signed in and cancelled from the keyboard"
