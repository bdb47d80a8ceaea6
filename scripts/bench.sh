#!/usr/bin/env bash
# Builds the benchmarks and runs them on loopback, printing Markdown tables with every ratio, the
# raw numbers beside it and whether each target is met:
#  - the Internet client layer against raw libcurl, and its streaming memory (wininet_bench);
#  - TAdvHttp against its yardsticks: the loopback limit (a plain socket into fresh memory), the
#    fresh-memory writer, raw libcurl clients, Qt's network manager and the server's own rate; kept
#    body, request rate, many at once, slow responses, idle components (component_bench);
#  - advhttp against raw libcurl and the curl command as processes, and the wizard's first frame
#    (bench_runner).
# Usage: scripts/bench.sh [--build release|relwithdebinfo|both] [--rounds N]   (default: both, 5)
# Each table names the build it comes from. Figures vary with the machine and its load: compare
# ratios from one run, and read the load averages printed beside them.
set -euo pipefail
cd "$(dirname "$0")/.."
builds=(release relwithdebinfo)
rounds=5
while (($#)); do
  case $1 in
    --build) [[ $2 == both ]] && builds=(release relwithdebinfo) || builds=("$2"); shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    *) echo "usage: scripts/bench.sh [--build release|relwithdebinfo|both] [--rounds N]" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh
export QT_QPA_PLATFORM=offscreen
if [[ -z ${XDG_RUNTIME_DIR:-} ]]; then
  XDG_RUNTIME_DIR=$(mktemp -d)
  export XDG_RUNTIME_DIR
fi
for build in "${builds[@]}"; do
  cmake --preset "$build" >/dev/null
  cmake --build --preset "$build" --target wininet_bench component_bench bench_runner >/dev/null
done

echo "# Benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo
echo "Machine: $(nproc) CPUs ($(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)), \
$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), $(uname -sr); \
transparent huge pages: $(sed 's/.*\[\(.*\)\].*/\1/' /sys/kernel/mm/transparent_hugepage/enabled 2>/dev/null || echo unknown)."
echo
for build in "${builds[@]}"; do
  dir=build/$build/bench
  "$dir/wininet_bench" --rounds "$rounds"
  "$dir/component_bench" --rounds "$rounds"
  "$dir/bench_runner" --rounds "$rounds"
done
