#!/usr/bin/env bash
# Builds in Release and runs the benchmarks on loopback: the Internet client against raw libcurl,
# and the component (advhttp) against raw libcurl and the curl command, with the wizard's first
# frame. Prints Markdown tables.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target wininet_bench bench_runner
echo "## Internet client (platform layer) vs raw libcurl"
build/release/bench/wininet_bench
echo
echo "## Component vs raw libcurl and the curl command"
build/release/bench/bench_runner "$@"
