#!/usr/bin/env bash
# The ABI guard of libdorvane-http: builds the library with debug information (RelWithDebInfo),
# describes its ABI with libabigail's abidw (types, not only names, as the public headers
# declare them) and compares that with the baseline kept for its SONAME in docs/abi/ (abidiff).
# Any change fails unless the SONAME changed with it: then there is no baseline of that name yet.
#   scripts/abi-check.sh             check against the baseline
#   scripts/abi-check.sh --update    write the baseline anew from this tree (after a deliberate,
#                                    compatible change, or for a new SONAME)
#   scripts/abi-check.sh --self-test also make a scratch copy of the tree, add a data member to
#                                    a public class there, and require the check to fail on it
# BUILD_ROOT (default build/abi) holds the builds.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
mode=check
case ${1:-} in
  --update) mode=update ;;
  --self-test) mode=self-test ;;
  "") ;;
  *) echo "usage: scripts/abi-check.sh [--update | --self-test]" >&2; exit 2 ;;
esac
build_root=${BUILD_ROOT:-$source_dir/build/abi}
baseline_dir=$source_dir/docs/abi
fail() { echo "abi-check: $*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# describe SOURCE BUILD OUT: builds the library of SOURCE in BUILD and writes its ABI to OUT.
describe() {
  local source=$1 build=$2 out=$3
  cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDORVANE_FAULT_INJECTION=OFF \
    -DDORVANE_BUILD_TESTS=OFF -DDORVANE_BUILD_BENCH=OFF >"$work/configure.log" 2>&1 \
    || fail "configuring $source: $(tail -n 20 "$work/configure.log")"
  cmake --build "$build" --target dorvane_http dorvane_debian_changelog >"$work/build.log" 2>&1 \
    || fail "building $source: $(tail -n 30 "$work/build.log")"
  # The public headers as installed: abidw keeps the types they declare and drops the others.
  rm -rf "$work/headers"
  cmake --install "$build" --prefix "$work/headers" --component dev >"$work/install.log" 2>&1 \
    || fail "installing the headers: $(tail -n 20 "$work/install.log")"
  local library
  library=$(find "$build/http" -name 'libdorvane-http.so.*.*' -type f | head -n 1)
  [[ -n $library ]] || fail "no libdorvane-http.so.* in $build/http"
  abidw --headers-dir "$work/headers/include/dorvane" --drop-private-types --no-corpus-path --no-show-locs \
    --out-file "$out" "$library" || fail "abidw failed on $library"
  soname=$(objdump -p "$library" | sed -n 's/^ *SONAME *//p')
}

# compare BASELINE CURRENT: abidiff's exit status (0: the same ABI). The private parts no public
# header defines are left out (docs/abi/private.abignore).
compare() {
  local status=0
  abidiff --no-added-syms --suppressions "$baseline_dir/private.abignore" "$1" "$2" >"$work/abidiff.txt" 2>&1 \
    || status=$?
  return $status
}

describe "$source_dir" "$build_root/tree" "$work/current.abi"
baseline=$baseline_dir/$soname.abi

if [[ $mode == update ]]; then
  mkdir -p "$baseline_dir"
  cp "$work/current.abi" "$baseline"
  echo "abi-check: wrote $baseline"
  exit 0
fi

if [[ ! -f $baseline ]]; then
  others=$(find "$baseline_dir" -name '*.abi' 2>/dev/null | sort | paste -sd' ')
  [[ -n $others ]] || fail "no baseline in $baseline_dir: make one with scripts/abi-check.sh --update"
  echo "abi-check: $soname is a new SONAME (baselines: $others); no baseline to break yet."
  echo "abi-check: make its baseline with scripts/abi-check.sh --update"
  exit 0
fi
if ! compare "$baseline" "$work/current.abi"; then
  cat "$work/abidiff.txt" >&2
  fail "$soname no longer has the ABI of $baseline: keep the ABI, or raise the SONAME (a new major version)"
fi
echo "abi-check: $soname has the ABI of $(basename "$baseline")"

if [[ $mode == self-test ]]; then
  # A scratch copy of the tree (the files git knows, as they are now) with one data member
  # more in a public class: that must not pass.
  mkdir "$work/scratch"
  git ls-files -z --cached --others --exclude-standard | (cd "$source_dir" && xargs -0 cp --parents -t "$work/scratch") 2>/dev/null || true
  header=$work/scratch/http/model/TStringList.h
  grep -q '^    std::vector<std::string> FLines;$' "$header" || fail "self-test: TStringList.h has no FLines member to add one beside"
  sed -i 's/^    std::vector<std::string> FLines;$/&\n    int FScratchMember = 0;/' "$header"
  describe "$work/scratch" "$build_root/scratch" "$work/scratch.abi"
  if compare "$baseline" "$work/scratch.abi"; then
    fail "self-test: a data member added to TStringList passed the check"
  fi
  grep -q 'FScratchMember' "$work/abidiff.txt" || fail "self-test: abidiff did not name the new member: $(cat "$work/abidiff.txt")"
  echo "abi-check: self-test: the check fails on a data member added to a public class"
fi
