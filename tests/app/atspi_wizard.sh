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

test_name=atspi stopped_at_exit="server_pid launcher_pid"
source "$(dirname "$0")/wizard_test_env.sh"
xdotool getdisplaygeometry >/dev/null 2>&1 || fail "the X server does not answer"

launcher=
for candidate in /usr/libexec/at-spi-bus-launcher /usr/lib/at-spi2-core/at-spi-bus-launcher; do
  [[ -x $candidate ]] && launcher=$candidate && break
done
[[ -n $launcher ]] || fail "at-spi-bus-launcher is missing (package at-spi2-core)"
"$launcher" --launch-immediately 2>"$work/launcher.log" &
launcher_pid=$!

start_service
point_wizard_at_service

# Debian's pyatspi belongs to the system's python, whatever python3 comes first on PATH.
/usr/bin/python3 "$here/atspi_wizard.py" "$APP" "$HIVE_VALUE" ${REPORT:+"$REPORT"}
