#!/usr/bin/env bash
# scripts/run-wizard.sh with a stand-in wizard: it starts the service, points a trial settings
# hive at it, leaves the caller's settings alone, stops the service afterwards, and refuses
# plainly when there is no display.
# Usage: run_wizard_script_test.sh SOURCE_DIR DEVSERVER DORVANE_REG
set -euo pipefail
source_dir=$1 devserver=$2 reg=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

build=$work/build
mkdir -p "$build/devserver" "$build/tools" "$build/app"
ln -s "$devserver" "$build/devserver/dorvane-devserver"
ln -s "$reg" "$build/tools/dorvane-reg"
# The stand-in does what Create does, and notes what it saw.
cat >"$build/app/dorvane-setup" <<'STUB'
#!/usr/bin/env bash
set -euo pipefail
reg=$(dirname "$0")/../tools/dorvane-reg
wpath=$("$reg" query 'HKCU\Software\Dorvane Pro' /v wPath | awk '/wPath/ {print $NF}')
id=$(curl -s --noproxy '*' "http://$wpath/wizard_files/make_login.asp?userlogin=alice&userpassword=s%26cret&email=a%40b")
curl -s --noproxy '*' "http://$wpath/wizard_files/make_usr.asp?id=$id" >/dev/null
"$reg" add 'HKCU\Software\Dorvane Pro\Settings' /v UserName /d alice /f >/dev/null
printf '%s\n%s\n%s\n%s\n' "$wpath" "$id" "$XDG_CONFIG_HOME" "$DISPLAY" >"$STUB_NOTES"
STUB
chmod +x "$build/app/dorvane-setup"

mkdir -p "$work/own-config"
export XDG_CONFIG_HOME=$work/own-config DORVANE_BUILD_DIR=$build STUB_NOTES=$work/notes

# No display: a plain explanation, nothing started.
if env -u DISPLAY -u WAYLAND_DISPLAY "$source_dir/scripts/run-wizard.sh" --no-build >"$work/out" 2>&1; then
  fail "a headless run without --xvfb succeeded"
fi
grep -q -- '--xvfb' "$work/out" || fail "the headless message does not mention --xvfb: $(cat "$work/out")"
[[ ! -e $work/notes ]] || fail "the wizard ran without a display"

# With a display.
DISPLAY=:stand-in "$source_dir/scripts/run-wizard.sh" --no-build >"$work/out" 2>&1 \
  || fail "run-wizard.sh failed: $(cat "$work/out")"
mapfile -t notes <"$work/notes"
[[ ${notes[0]} =~ ^127\.0\.0\.1:[0-9]+$ ]] || fail "wPath is '${notes[0]}'"
[[ ${notes[1]} == 1 ]] || fail "the service answered '${notes[1]}' to the first sign-up"
[[ ${notes[2]} == "$build/trial-config" ]] || fail "the wizard saw XDG_CONFIG_HOME=${notes[2]}"
grep -q 'userpassword=\*\*\*' "$work/out" || fail "the service's log is missing: $(cat "$work/out")"
grep -q 's%26cret' "$work/out" && fail "the password shows in the output"
grep -q 'UserName' "$work/out" || fail "the stored credentials are not shown: $(cat "$work/out")"
[[ -z $(ls -A "$work/own-config") ]] || fail "the caller's own settings folder was written"
if curl -s --noproxy '*' --max-time 2 "http://${notes[0]}/wizard_files/make_usr.asp?id=1" >/dev/null; then
  fail "the service still answers after the wizard closed"
fi
# --xvfb: a virtual screen of the script's own, gone again afterwards.
if command -v Xvfb >/dev/null; then
  rm -f "$work/notes"
  env -u DISPLAY -u WAYLAND_DISPLAY "$source_dir/scripts/run-wizard.sh" --no-build --xvfb >"$work/out" 2>&1 \
    || fail "run-wizard.sh --xvfb failed: $(cat "$work/out")"
  mapfile -t notes <"$work/notes"
  [[ ${notes[3]} =~ ^:([0-9]+)$ ]] || fail "the wizard saw DISPLAY='${notes[3]}'"
  [[ ${notes[1]} == 0 ]] || fail "the second sign-up of alice was answered '${notes[1]}'"
  [[ ! -e /tmp/.X${BASH_REMATCH[1]}-lock ]] || fail "Xvfb ${notes[3]} still runs"

  # An Xvfb that reports its display and exits at once, as some starts here do: the script starts
  # another, and says so plainly when none comes up. Rows: flaky starts, then whether the wizard ran.
  mkdir -p "$work/standin"
  cat >"$work/standin/Xvfb" <<'STANDIN'
#!/usr/bin/env bash
n=$(( $(cat "$STANDIN_COUNT" 2>/dev/null || echo 0) + 1 ))
echo "$n" >"$STANDIN_COUNT"
if (( n <= FLAKY_STARTS )); then
  while (($#)); do [[ $1 == -displayfd ]] && fd=$2; shift; done
  echo 93 >&"$fd"
  exit 0
fi
exec "$REAL_XVFB" "$@"
STANDIN
  chmod +x "$work/standin/Xvfb"
  for row in "1 ran" "2 ran" "3 refused"; do
    read -r flaky outcome <<<"$row"
    rm -f "$work/notes" "$work/standin-count"
    status=0
    env -u DISPLAY -u WAYLAND_DISPLAY PATH="$work/standin:$PATH" REAL_XVFB="$(command -v Xvfb)" \
      STANDIN_COUNT="$work/standin-count" FLAKY_STARTS="$flaky" \
      "$source_dir/scripts/run-wizard.sh" --no-build --xvfb >"$work/out" 2>&1 || status=$?
    if [[ $outcome == ran ]]; then
      ((status == 0)) || fail "with $flaky failed Xvfb start(s) run-wizard.sh failed: $(cat "$work/out")"
      [[ -e $work/notes ]] || fail "with $flaky failed Xvfb start(s) the wizard did not run"
      grep -q 'did not answer on display :93; starting another' "$work/out" || fail "no word of the retry: $(cat "$work/out")"
    else
      ((status != 0)) || fail "run-wizard.sh succeeded without a virtual screen"
      [[ ! -e $work/notes ]] || fail "the wizard started without a virtual screen"
      grep -q 'no virtual screen came up: Xvfb was started 3 times' "$work/out" || fail "unclear: $(cat "$work/out")"
    fi
  done
fi
echo "PASS"
