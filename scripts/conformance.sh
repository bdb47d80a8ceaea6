#!/usr/bin/env bash
# The Internet client layer held against a second implementation of the same API: the contract's
# client (tests/platform/wininet/contract) is built against this project's layer and, unchanged,
# with MinGW-w64 against Windows' headers and wininet import library into a .exe that runs under
# Wine. Both run every row against one scripted peer on 127.0.0.1 (a Linux process); the rows,
# both results and the explanation of each difference go to docs/wininet-conformance.md.
#
# Usage: scripts/conformance.sh [--build DIR] [--page FILE] [--keep-prefix]
#   --build DIR     the CMake build folder of the default preset (default build/default)
#   --page FILE     where the page goes (default docs/wininet-conformance.md)
#   --keep-prefix   reuse the Wine prefix of an earlier run instead of starting a fresh one
#
# Fails when a row differs without an entry in tests/platform/wininet/contract/differences.txt,
# or a row listed as mended differs again. Installs what is missing (root or sudo).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/default
page=docs/wininet-conformance.md
fresh_prefix=1
while (($#)); do
  case $1 in
    --build) build=$2; shift 2 ;;
    --page) page=$2; shift 2 ;;
    --keep-prefix) fresh_prefix=0; shift ;;
    *) echo "usage: $0 [--build DIR] [--page FILE] [--keep-prefix]" >&2; exit 2 ;;
  esac
done

contract=tests/platform/wininet/contract
# A row that prints nothing for this long is taken as hung; the rest run in a new process.
row_limit=30

# wine64 runs the .exe, wine brings the wine command; the cross compiler brings MinGW-w64's
# headers and import libraries (mingw-w64-x86-64-dev).
SECONDS=0
phases=()
phase() { phases+=("$1 ${SECONDS} s"); SECONDS=0; }
scripts/install-deps.sh wine64 wine g++-mingw-w64-x86-64 mingw-w64-x86-64-dev python3
phase installing

export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER-$(command -v ccache || true)}
[[ -f $build/CMakeCache.txt ]] || cmake --preset default
cmake --build "$build" --target wininet_contract wininet_contract_peer

work=$build/conformance
mkdir -p "$work/objects"

# The Windows side: the client's sources as they are, compiled one by one (two at a time).
cross=x86_64-w64-mingw32-g++-posix   # the POSIX thread model: std::thread, std::mutex
cross_launcher=()
command -v ccache >/dev/null && cross_launcher=(ccache)
sources=()
for source in "$contract"/*.cpp; do
  [[ $(basename "$source") == contract_peer.cpp ]] || sources+=("$source")
done
rm -f "$work"/objects/*.o
jobs=()
for source in "${sources[@]}"; do
  "${cross_launcher[@]}" "$cross" -std=c++20 -O1 -Wall -Wextra -c "$source" \
    -o "$work/objects/$(basename "$source" .cpp).o" &
  jobs+=($!)
  if ((${#jobs[@]} >= 2)); then
    wait "${jobs[0]}"
    jobs=("${jobs[@]:1}")
  fi
done
for job in "${jobs[@]}"; do wait "$job"; done
"$cross" -static -o "$work/wininet_contract.exe" "$work"/objects/*.o -lwininet
phase building

export WINEDEBUG=-all WINEPREFIX=$PWD/$work/wine-prefix
# No Mono or Gecko installer: the contract needs neither, and nobody is there to answer.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY
if ((fresh_prefix)) || [[ ! -d $WINEPREFIX ]]; then
  rm -rf "$WINEPREFIX"
  wineboot --init >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log" >&2; exit 1; }
  wineserver -w
fi
phase "a Wine prefix"

peer_pid=
client_pid=
cleanup() {
  if [[ -n $client_pid ]]; then kill "$client_pid" 2>/dev/null || true; fi
  if [[ -n $peer_pid ]]; then kill "$peer_pid" 2>/dev/null || true; fi
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

"$build/$contract/wininet_contract_peer" >"$work/peer.ports" &
peer_pid=$!
for _ in $(seq 100); do
  [[ -s $work/peer.ports ]] && break
  sleep 0.05
done
read -r port refused_port closing_port <"$work/peer.ports" || { echo "the peer did not start" >&2; exit 1; }

"$build/$contract/wininet_contract" --list >"$work/rows.tsv"
"$build/$contract/wininet_contract_peer" --describe >"$work/peer.tsv"

# Runs one side (its command line before the ports) over every row into $2: a row that hangs
# is recorded as such and the rows after it run in a new process.
run_side() {
  local name=$1 out=$2; shift 2
  : >"$out"
  local -a remaining
  mapfile -t remaining < <(cut -f1 "$work/rows.tsv")
  while ((${#remaining[@]})); do
    "$@" "$port" "$refused_port" "$closing_port" "${remaining[@]}" >"$out.part" 2>"$out.stderr" &
    client_pid=$!
    local lines=-1 still=0 stopped=0
    while kill -0 "$client_pid" 2>/dev/null; do
      sleep 0.2
      local now
      now=$(wc -l <"$out.part")
      if ((now == lines)); then
        still=$((still + 1))
      else
        lines=$now still=0
      fi
      if ((still >= row_limit * 5)); then
        stopped=1
        kill "$client_pid" 2>/dev/null || true
        if [[ $name == theirs ]]; then wineserver -k 2>/dev/null || true; fi
        break
      fi
    done
    wait "$client_pid" 2>/dev/null || true
    client_pid=
    tr -d '\r' <"$out.part" | grep $'\t' >>"$out" || true
    local done_count
    done_count=$(tr -d '\r' <"$out.part" | grep -c $'\t' || true)
    remaining=("${remaining[@]:done_count}")
    if ((${#remaining[@]})); then
      local why="the process ended"
      ((stopped)) && why="no answer within $row_limit s"
      printf '%s\t(%s)\n' "${remaining[0]}" "$why" >>"$out"
      echo "conformance: $name: row ${remaining[0]}: $why; the rows after it run in a new process" >&2
      remaining=("${remaining[@]:1}")
    fi
  done
}

run_side ours "$work/ours.tsv" "$build/$contract/wininet_contract"
phase "our layer"
run_side theirs "$work/theirs.tsv" wine "$work/wininet_contract.exe"
phase Wine
(IFS=,; echo "conformance: ${phases[*]}" | sed 's/,/, /g')

/usr/bin/python3 scripts/conformance-page.py --rows "$work/rows.tsv" --peer "$work/peer.tsv" \
  --ours "$work/ours.tsv" --theirs "$work/theirs.tsv" --differences "$contract/differences.txt" \
  --wine "$(wine --version 2>/dev/null || echo unknown)" --page "$page"
