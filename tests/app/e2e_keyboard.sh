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

test_name="e2e-keyboard (scale $SCALE)"
source "$(dirname "$0")/wizard_test_env.sh"
xdotool getdisplaygeometry >/dev/null 2>&1 || fail "the X server does not answer"
start_service
point_wizard_at_service

# The window's size in device pixels: the layout's 434 x 254 times the scale factor.
expected_size=$(awk -v s="$SCALE" 'BEGIN { printf "%dx%d", int(434 * s + 0.5), int(254 * s + 0.5) }')

start_wizard() {
  launch_wizard QT_SCALE_FACTOR="$SCALE"
  eval "$(xdotool getwindowgeometry --shell "$WID")"
  [[ ${WIDTH}x$HEIGHT == "$expected_size" ]] || fail "window is ${WIDTH}x$HEIGHT, not $expected_size"
  # Giving the window the keyboard is the window manager's part; there is none under Xvfb.
  xdotool windowfocus --sync "$WID"
  sleep 0.3
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
