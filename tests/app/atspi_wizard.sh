#!/usr/bin/env bash
# Runs atspi_wizard.py (run inside xvfb-run): a session bus of its own, the accessibility bus
# on it, the reference service on a free loopback port, and a settings hive pointed at it.
# Usage: atspi_wizard.sh APP HIVE_VALUE_TOOL DEVSERVER [TREE_REPORT]
set -euo pipefail
if [[ -z ${DORVANE_ATSPI_SESSION:-} ]]; then
  # dbus-run-session ends the session bus, and what was started on it, when this script ends.
  DORVANE_ATSPI_SESSION=1 exec dbus-run-session -- "$0" "$@"
fi
APP=$1
HIVE_VALUE=$2
DEVSERVER=$3
REPORT=${4:-}

here=$(cd "$(dirname "$0")" && pwd)
export LSAN_OPTIONS="suppressions=$here/lsan-system-libraries.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
work=$(mktemp -d)
launcher_pid=
server_pid=
cleanup() {
  [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null || true
  [[ -n $launcher_pid ]] && kill "$launcher_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "atspi: $*" >&2; exit 1; }
wait_for() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }

export XDG_CONFIG_HOME=$work/config
export XDG_RUNTIME_DIR=$work/runtime
mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
xdotool getdisplaygeometry >/dev/null 2>&1 || fail "the X server does not answer"

launcher=
for candidate in /usr/libexec/at-spi-bus-launcher /usr/lib/at-spi2-core/at-spi-bus-launcher; do
  [[ -x $candidate ]] && launcher=$candidate && break
done
[[ -n $launcher ]] || fail "at-spi-bus-launcher is missing (package at-spi2-core)"
"$launcher" --launch-immediately 2>"$work/launcher.log" &
launcher_pid=$!

"$DEVSERVER" --port 0 --password-cost minimum >"$work/server.out" 2>"$work/server.log" &
server_pid=$!
wait_for grep -q '^listening on ' "$work/server.out" || fail "the service did not start"
"$HIVE_VALUE" 'Software\Dorvane Pro' wPath "$(sed -n 's/^listening on //p' "$work/server.out")"

# Debian's pyatspi belongs to the system's python, whatever python3 comes first on PATH.
/usr/bin/python3 "$here/atspi_wizard.py" "$APP" "$HIVE_VALUE" ${REPORT:+"$REPORT"}
