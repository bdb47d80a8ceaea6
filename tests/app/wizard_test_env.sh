# shellcheck shell=bash
# Sourced by the scripts that run the real wizard: a scratch folder that goes at exit together
# with the processes the script started, settings and runtime folders of the run's own, and the
# helpers the scripts share. Before sourcing, a script sets test_name (the prefix of its failures)
# and, where it starts other processes than the wizard and the reference service, stopped_at_exit:
# the variables that hold their ids, in the order they are ended.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# Under LeakSanitizer: leaks inside the system's D-Bus library are not ours to report.
export LSAN_OPTIONS="suppressions=$here/lsan-system-libraries.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

work=$(mktemp -d)
app_pid='' server_pid=''
stopped_at_exit=${stopped_at_exit:-app_pid server_pid}
cleanup() {
  local name
  for name in $stopped_at_exit; do
    [[ -n ${!name:-} ]] && kill "${!name}" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config
export XDG_RUNTIME_DIR=$work/runtime
mkdir -p -m 0700 "$XDG_RUNTIME_DIR"

fail() { echo "$test_name: $*" >&2; exit 1; }
running() { kill -0 "$app_pid" 2>/dev/null; }
# Waits up to 10 s for a command to succeed.
wait_for() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }
stored() { "$HIVE_VALUE" 'Software\Dorvane Pro\Settings' "$1" 2>/dev/null; }
# The hex of a REG_SZ holding the text (scrambled: each byte's top bit flipped), NUL included.
sz_hex() { printf '1 %s00' "$(printf '%s' "$1" | od -An -tu1 | awk '{for (i = 1; i <= NF; i++) printf "%02x", $i}')"; }
scrambled_hex() {
  printf '1 %s00' "$(printf '%s' "$1" | od -An -tu1 | awk '{for (i = 1; i <= NF; i++) printf "%02x", ($i + 128) % 256}')"
}

# The reference service on a free loopback port; its address goes to $address.
start_service() {
  "$DEVSERVER" --port 0 --password-cost minimum >"$work/server.out" 2>"$work/server.log" &
  server_pid=$!
  wait_for grep -q '^listening on ' "$work/server.out" || fail "the service did not start"
  address=$(sed -n 's/^listening on //p' "$work/server.out")
}
point_wizard_at_service() { "$HIVE_VALUE" 'Software\Dorvane Pro' wPath "$address"; }

# Starts the wizard on X (with the VAR=value settings given) and waits for its window: its id
# goes to $WID.
WID=
launch_wizard() {
  env QT_QPA_PLATFORM=xcb "$@" "$APP" &
  app_pid=$!
  WID=$(timeout 15 xdotool search --sync --name '^Dorvane Account Setup$' | head -1)
  [[ -n $WID ]] || fail "the window did not appear"
}
# The wizard must close by itself after WHAT, with status 0.
ended() {
  wait_for eval '! running' || fail "$1 did not close the wizard"
  wait "$app_pid" || fail "the wizard ended with status $?"
  app_pid=
}
# A click at a window-relative point.
click() { xdotool mousemove --window "$WID" "$1" "$2" click 1; sleep 0.2; }
