#!/usr/bin/env bash
# The shared library against the static build of the same objects: component_bench and
# component_bench_static run in turn (A B A B ...), and the medians of each figure compared.
# Every figure of the shared build should be within 5% of the static one's.
# Usage: scripts/bench-shared-static.sh [--build release|relwithdebinfo] [--runs N] [--only SECTIONS]
#        (default: release, 5 runs of each, sections kept,rate,many)
set -euo pipefail
cd "$(dirname "$0")/.."
build=release runs=5 only=kept,rate,many
while (($#)); do
  case $1 in
    --build) build=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    *) echo "usage: scripts/bench-shared-static.sh [--build release|relwithdebinfo] [--runs N] [--only SECTIONS]" >&2; exit 2 ;;
  esac
done
export QT_QPA_PLATFORM=offscreen
cmake --preset "$build" >/dev/null
cmake --build --preset "$build" --target component_bench component_bench_static >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# figures FILE: "name seconds" for each time the benchmark prints for TAdvHttp.
figures() {
  awk -F'|' '
    /^### Request rate/ { rate++ }
    /^### Many at once/ { many = 1 }
    /^\| TAdvHttp, Content-Length announced \|/ { gsub(/ /, "", $3); print "kept-body-s", $3 }
    /^\| TAdvHttp, Execute\(true\) \|/ { gsub(/ /, "", $3); print "request-rate-" rate "-s", $3 }
    many && /^\| [0-9]+ \|/ { n = $2; gsub(/ /, "", n); gsub(/ /, "", $3); print "at-once-" n "-s", $3 }
  ' "$1"
}
for ((run = 1; run <= runs; run++)); do
  for variant in shared static; do
    program=build/$build/bench/component_bench
    [[ $variant == static ]] && program+=_static
    "$program" --rounds 1 --only "$only" >"$work/$variant-$run.md"
    figures "$work/$variant-$run.md" >>"$work/$variant.txt"
  done
done
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo "| figure ($build, medians of $runs interleaved runs) | shared s | static s | shared / static | within 5% |"
echo "|---|---|---|---|---|"
for name in $(awk '{ print $1 }' "$work/shared.txt" | awk '!seen[$0]++'); do
  shared=$(awk -v n="$name" '$1 == n { print $2 }' "$work/shared.txt" | median)
  static=$(awk -v n="$name" '$1 == n { print $2 }' "$work/static.txt" | median)
  awk -v n="$name" -v a="$shared" -v b="$static" \
    'BEGIN { r = sprintf("%.3f", a / b) + 0; printf "| %s | %s | %s | %.3f | %s |\n", n, a, b, r, (r <= 1.05 ? "yes" : "no") }'
done
