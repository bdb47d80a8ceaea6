#!/usr/bin/env bash
# Our side of the contract end to end against its peer: every row answers exactly once and in
# order, none hangs. (scripts/conformance.sh compares the answers with another implementation's.)
# Usage: contract_runs.sh CLIENT PEER
set -euo pipefail
client=$1 peer=$2
work=$(mktemp -d)
peer_pid=
cleanup() {
  if [[ -n $peer_pid ]]; then kill "$peer_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$peer" >"$work/ports" &
peer_pid=$!
for _ in $(seq 100); do
  [[ -s $work/ports ]] && break
  sleep 0.05
done
read -r port refused_port closing_port <"$work/ports"
"$client" --list | cut -f1 >"$work/rows"
timeout 60 "$client" "$port" "$refused_port" "$closing_port" >"$work/results"
if ! cut -f1 "$work/results" | diff "$work/rows" - >&2; then
  echo "contract_runs: the rows above are missing or extra" >&2
  exit 1
fi
echo "contract_runs: $(wc -l <"$work/results") rows answered"
