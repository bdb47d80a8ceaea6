#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (Debug build).
# Usage: scripts/test.sh [preset]   (default, asan or tsan; default: default)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}

scripts/install-deps.sh
export QT_QPA_PLATFORM=offscreen
if [[ -z ${XDG_RUNTIME_DIR:-} ]]; then
  XDG_RUNTIME_DIR=$(mktemp -d)
  export XDG_RUNTIME_DIR
fi

cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset"
