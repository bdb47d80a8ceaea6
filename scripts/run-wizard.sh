#!/usr/bin/env bash
# Opens the wizard against the bundled reference service, without touching your own settings.
#
# Installs what is missing (as root, or with sudo), builds, starts dorvane-devserver on a free
# loopback port, gives the wizard a trial settings hive of its own pointed at that service, opens
# the wizard, and stops the service when the wizard closes. Then it shows what the wizard stored.
#
# Usage: scripts/run-wizard.sh [--no-build] [--xvfb] [--fresh] [--help]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

usage() {
  cat <<'USAGE'
Usage: scripts/run-wizard.sh [options]
  --no-build   skip installing packages and building (use what build/default holds)
  --xvfb       no display? run the wizard on a virtual X screen (Xvfb); nobody sees it,
               so this only shows that it starts (or drive it with xdotool); Ctrl+C ends it
  --fresh      forget the trial settings and the trial service's accounts first
  --help       show this text
The trial settings live in build/default/trial-config (XDG_CONFIG_HOME for the wizard only),
the trial service's accounts in build/default/trial-config/devserver-accounts.db.
USAGE
}

build=1 xvfb=0 fresh=0
for arg in "$@"; do
  case $arg in
    --no-build) build=0 ;;
    --xvfb) xvfb=1 ;;
    --fresh) fresh=1 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "run-wizard: unknown option $arg" >&2; usage >&2; exit 2 ;;
  esac
done

say() { printf 'run-wizard: %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }

BUILD_DIR=${DORVANE_BUILD_DIR:-$ROOT/build/default}
TRIAL=$BUILD_DIR/trial-config
DEVSERVER=$BUILD_DIR/devserver/dorvane-devserver
WIZARD=$BUILD_DIR/app/dorvane-setup
REG=$BUILD_DIR/tools/dorvane-reg
KEY='HKCU\Software\Dorvane Pro'

# Decide about the display before the long steps, so a headless run learns it at once.
if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} && $xvfb -eq 0 ]]; then
  cat >&2 <<'MSG'
run-wizard: there is no display here (neither DISPLAY nor WAYLAND_DISPLAY is set), so the
wizard's window has nowhere to appear. Either
  - run this from a terminal inside a desktop session (or over `ssh -X`), or
  - run `scripts/run-wizard.sh --xvfb` to start it on a virtual screen that nobody sees
    (it only shows that the wizard starts; end it with Ctrl+C), or
  - run `scripts/test.sh` to drive the wizard through its tests without a display.
MSG
  exit 1
fi

# On a Wayland desktop the wizard's window is a native Wayland one when Qt's Wayland plugin
# (package qt6-wayland) is there, and goes through XWayland (DISPLAY) otherwise. The compositor
# places it: a Wayland client can't centre itself.
if [[ -n ${WAYLAND_DISPLAY:-} && $xvfb -eq 0 ]]; then
  if compgen -G '/usr/lib/*/qt6/plugins/platforms/libqwayland*.so' >/dev/null; then
    # A platform chosen by hand stays; the test runs' offscreen one would hide the window.
    case ${QT_QPA_PLATFORM:-} in ''|offscreen|minimal) export QT_QPA_PLATFORM='wayland;xcb' ;; esac
  elif [[ -z ${DISPLAY:-} ]]; then
    die "this Wayland session has no X display (DISPLAY is unset) and Qt's Wayland plugin is not
installed: install qt6-wayland, enable XWayland, or use --xvfb"
  fi
fi

if ((build)); then
  scripts/install-deps.sh
  cmake --preset default
  cmake --build --preset default --target dorvane-setup dorvane-devserver dorvane-reg
fi
for program in "$DEVSERVER" "$WIZARD" "$REG"; do
  [[ -x $program ]] || die "$program is missing; run without --no-build to build it"
done

if ((fresh)); then
  rm -rf "$TRIAL"
fi
mkdir -p "$TRIAL"
chmod 700 "$TRIAL"
# Only the wizard and dorvane-reg below see this hive; your own ~/.config/dorvane stays as it is.
export XDG_CONFIG_HOME=$TRIAL
if [[ -z ${XDG_RUNTIME_DIR:-} ]]; then
  XDG_RUNTIME_DIR=$(mktemp -d)   # Qt complains without one
  export XDG_RUNTIME_DIR
fi

# The service writes "listening on 127.0.0.1:PORT" on standard output once it accepts
# connections; its request log goes to this terminal.
server_out=$TRIAL/devserver.out
server_pid= wizard_pid= xvfb_pid=
stop() {  # stop PID: ends a process this script started, and reaps it
  if [[ -n $1 ]] && kill -0 "$1" 2>/dev/null; then
    kill -TERM "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}
stop_all() { stop "$wizard_pid"; stop "$xvfb_pid"; stop "$server_pid"; wizard_pid= xvfb_pid= server_pid=; }
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

: >"$server_out"
"$DEVSERVER" --port 0 --db "$TRIAL/devserver-accounts.db" >"$server_out" &
server_pid=$!
port=
for _ in $(seq 100); do
  if [[ $(head -n 1 "$server_out") =~ ^listening\ on\ 127\.0\.0\.1:([0-9]+)$ ]]; then
    port=${BASH_REMATCH[1]}
    break
  fi
  kill -0 "$server_pid" 2>/dev/null || die "the reference service did not start (see its message above)"
  sleep 0.1
done
[[ -n $port ]] || die "the reference service did not report its port within 10 seconds"
say "reference service on 127.0.0.1:$port (accounts in $TRIAL/devserver-accounts.db)"

# An Xvfb started with -displayfd sometimes exits right after reporting its display; the wizard
# would then start on nothing and abort. So the server must answer before the wizard starts, and
# one that doesn't is replaced, a few times at most. Sets xvfb_pid and xvfb_display.
xvfb_answers() {  # xvfb_answers DISPLAY_NUMBER
  if command -v xdotool >/dev/null; then
    DISPLAY=:$1 timeout 2 xdotool getdisplaygeometry >/dev/null 2>&1
  else
    [[ -S /tmp/.X11-unix/X$1 ]]
  fi
}
start_xvfb() {
  local attempt
  for attempt in 1 2 3; do
    : >"$TRIAL/xvfb.display"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$TRIAL/xvfb.display" 2>"$TRIAL/xvfb.log" &
    xvfb_pid=$!
    xvfb_display=
    for _ in $(seq 100); do
      if [[ -z $xvfb_display && -s $TRIAL/xvfb.display ]]; then
        xvfb_display=$(head -n 1 "$TRIAL/xvfb.display")
      fi
      if [[ -n $xvfb_display ]] && kill -0 "$xvfb_pid" 2>/dev/null && xvfb_answers "$xvfb_display"; then
        return 0
      fi
      kill -0 "$xvfb_pid" 2>/dev/null || break
      sleep 0.1
    done
    say "Xvfb (attempt $attempt) did not answer${xvfb_display:+ on display :$xvfb_display}; starting another"
    stop "$xvfb_pid"
    xvfb_pid=
  done
  die "no virtual screen came up: Xvfb was started 3 times and none answered. Its last words:
$(tail -n 5 "$TRIAL/xvfb.log")"
}

"$REG" add "$KEY" /v wPath /d "127.0.0.1:$port" /f >/dev/null \
  || die "could not write wPath into the trial settings in $TRIAL"
say "trial settings in $TRIAL point the wizard at http://127.0.0.1:$port/wizard_files/"

# A platform plugin left over from test runs would hide the window.
case ${QT_QPA_PLATFORM:-} in offscreen|minimal) unset QT_QPA_PLATFORM ;; esac

# The wizard runs in the background and the script waits for it, so that Ctrl+C or a TERM sent
# to this script ends the wizard and the service too (the EXIT trap) instead of waiting for it.
# Xvfb is started here rather than through xvfb-run, so that this script owns it and can end it
# (xvfb-run leaves its server and program running when it is itself terminated).
if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
  command -v Xvfb >/dev/null || die "Xvfb is missing; install the xvfb package (scripts/install-deps.sh)"
  start_xvfb
  export DISPLAY=:$xvfb_display
  export QT_QPA_PLATFORM=xcb
  say "no display: the wizard runs on a virtual screen ($DISPLAY) that nobody sees; Ctrl+C ends it"
  say "a picture of it: import -display $DISPLAY -window root wizard.png"
else
  say "opening the wizard; the service stops when it closes"
fi
"$WIZARD" &
wizard_pid=$!
status=0
wait "$wizard_pid" || status=$?
wizard_pid=
stop_all

echo
echo "What the trial settings hold now (XDG_CONFIG_HOME=$TRIAL):"
"$REG" query "$KEY" || true
if ! "$REG" query "$KEY\\Settings" 2>/dev/null; then
  echo "No credentials stored: the wizard closed before an account was created or signed in."
fi
echo
echo "Look again later with: XDG_CONFIG_HOME=$TRIAL $REG query \"$KEY\\Settings\""
exit "$status"
