#!/usr/bin/env bash
# Builds the HTTP component's reference (docs/reference/Doxyfile: the public headers and
# docs/guide.md) into build/reference/html, and fails on any Doxygen warning, so an
# undocumented public class, member, event or error fails the build.
# Usage: scripts/reference.sh [output-folder]   (needs doxygen: scripts/install-deps.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
out=$(realpath -m "${1:-build/reference}")
mkdir -p "$out"
export DORVANE_REFERENCE_OUT=$out
log=$out/warnings.log
cd docs/reference
if ! doxygen Doxyfile 2>"$log" || [[ -s $log ]]; then
  cat "$log" >&2
  echo "reference: Doxygen warned ($(grep -c . "$log") lines); see above" >&2
  exit 1
fi
echo "reference: $out/html/index.html"
