#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (FUZZ_SECONDS, default
# 60) from its kept corpus in tests/fuzz/corpus/<target>. New inputs go to a scratch folder, so
# the tree stays as it is; a crash fails the run and leaves its input in build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}

scripts/install-deps.sh clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
targets=$(sed -n 's/^dorvane_add_fuzzer(\([a-z_]*\).*/\1/p' tests/fuzz/CMakeLists.txt)
# shellcheck disable=SC2086
cmake --build --preset fuzz --target $targets

mkdir -p build/fuzz/artifacts
status=0
for target in $targets; do
  scratch=$(mktemp -d)
  seeds=tests/fuzz/corpus/$target
  [[ -d $seeds ]] || seeds=
  echo "fuzzing $target for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "build/fuzz/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="build/fuzz/artifacts/$target-" -print_final_stats=1 "$scratch" $seeds \
      >"build/fuzz/$target.log" 2>&1; then
    echo "FAILED: $target (see build/fuzz/$target.log)"
    tail -n 40 "build/fuzz/$target.log"
    status=1
  else
    grep -E '^stat::number_of_executed_units' "build/fuzz/$target.log" || true
  fi
  rm -rf "$scratch"
done
exit $status
