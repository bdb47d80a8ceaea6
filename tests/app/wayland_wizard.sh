#!/usr/bin/env bash
# scripts/run-wizard.sh on a Wayland desktop with no X display: a headless Wayland compositor
# (weston) of its own, the wizard started by the script as a native Wayland client, and proof
# that its window was shown there: a screenshot taken through the compositor holds the wizard's
# side picture, drawn pixel for pixel. Then the script is stopped as a user would (TERM) and
# must end the wizard and its reference service.
# Usage: wayland_wizard.sh SOURCE_DIR BUILD_DIR [SCREENSHOT.png]
set -euo pipefail
SOURCE=$(cd "$1" && pwd)
BUILD=$(cd "$2" && pwd)
SHOT=${3:-}

test_name=wayland stopped_at_exit="script_pid weston_pid"
source "$(dirname "$0")/wizard_test_env.sh"
fail() { echo "wayland: $*" >&2; [[ -f $work/weston.log ]] && tail -n 5 "$work/weston.log" >&2; exit 1; }

unset DISPLAY
export WAYLAND_DISPLAY=dorvane-test-$$ XDG_SESSION_TYPE=wayland

# The pixman renderer draws into memory, so the compositor can take screenshots (--debug allows it).
weston --backend=headless-backend.so --use-pixman --width=1024 --height=768 --idle-time=0 --debug \
  --socket="$WAYLAND_DISPLAY" >"$work/weston.log" 2>&1 &
weston_pid=$!
for _ in $(seq 100); do [[ -S $XDG_RUNTIME_DIR/$WAYLAND_DISPLAY ]] && break; sleep 0.1; done
[[ -S $XDG_RUNTIME_DIR/$WAYLAND_DISPLAY ]] || fail "weston did not start"

# The script keeps its trial settings and accounts in its build folder; a folder of links to the
# built programs keeps a developer's own trial data out of the test's way.
trial_build=$work/build
for program in app/dorvane-setup devserver/dorvane-devserver tools/dorvane-reg; do
  mkdir -p "$trial_build/$(dirname "$program")"
  ln -s "$BUILD/$program" "$trial_build/$program"
done
DORVANE_BUILD_DIR=$trial_build "$SOURCE/scripts/run-wizard.sh" --no-build >"$work/script.log" 2>&1 &
script_pid=$!

# The side picture's rows as the wizard draws them at scale 1, searched in the screenshot.
convert "$SOURCE/resources/Image1.jpg" -depth 8 rgb:"$work/picture.rgb"
found=
for _ in $(seq 20); do
  kill -0 "$script_pid" 2>/dev/null || fail "run-wizard.sh ended early: $(tail -n 5 "$work/script.log")"
  rm -f "$work"/wayland-screenshot*.png
  (cd "$work" && timeout 10 weston-screenshooter >/dev/null 2>&1) || true
  shots=("$work"/wayland-screenshot*.png)
  if [[ -f ${shots[0]} ]]; then
    convert "${shots[0]}" -depth 8 rgb:"$work/screen.rgb"
    width=$(identify -format '%w' "${shots[0]}")
    found=$(/usr/bin/python3 - "$work/screen.rgb" "$work/picture.rgb" "$width" <<'PY'
import sys
screen, picture, width = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read(), int(sys.argv[3])
row = 118 * 3
at = screen.find(picture[:row])
while at >= 0:
    x, y = (at // 3) % width, (at // 3) // width
    if all(screen[((y + r) * width + x) * 3:((y + r) * width + x) * 3 + row] == picture[r * row:(r + 1) * row]
           for r in range(253)):
        print("%d,%d" % (x, y))
        break
    at = screen.find(picture[:row], at + 1)
PY
)
    [[ -n $found ]] && break
  fi
  sleep 0.5
done
[[ -n $found ]] || fail "no screenshot shows the wizard: $(tail -n 5 "$work/script.log")"
[[ -z $SHOT ]] || cp "${shots[0]}" "$SHOT"

kill -TERM "$script_pid"
for _ in $(seq 100); do kill -0 "$script_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$script_pid" 2>/dev/null && fail "run-wizard.sh did not end on TERM"
wait "$script_pid" || true
script_pid=
# The script owns the wizard and the service; neither may outlive it.
if pgrep -f "^$trial_build/" >/dev/null; then
  fail "run-wizard.sh left the wizard or the service running"
fi
echo "wayland: the wizard's window was shown by weston at $found (its side picture), and ended with the script"
