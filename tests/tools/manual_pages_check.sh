#!/usr/bin/env bash
# Every option a command's own usage text lists is described in its manual page, so a new
# option can't go undocumented.
# Usage: manual_pages_check.sh MAN_DIR PROGRAM...   (MAN_DIR holds PROGRAM.1 for each)
set -euo pipefail
man_dir=$1
shift
fail() { echo "manual-pages: $*" >&2; exit 1; }

# The options in a usage text: long ones (--name), short ones (-x,) and slash ones (/name).
options() {
  grep -oE -- '--[a-z][a-z-]*|(^| )-[A-Za-z],|(^|[ [])/[a-z?]+' | sed -E 's/^[ [] *//; s/,$//' | sort -u
}

for program in "$@"; do
  name=$(basename "$program")
  page=$man_dir/$name.1
  [[ -f $page ]] || fail "$name has no manual page $page"
  usage=$("$program" --help) || fail "$name --help failed"
  # The page's text with roff's escaped minus signs as plain ones.
  text=$(sed 's/\\-/-/g' "$page")
  count=0
  while read -r option; do
    # As a word of its own: -a must not pass for the start of --async.
    grep -qP -- "(^|[^\\w-])\\Q$option\\E(?![\\w-])" <<<"$text" || fail "$name's manual page does not describe $option"
    count=$((count + 1))
  done < <(options <<<"$usage")
  ((count > 0)) || fail "no options found in $name --help"
  echo "manual-pages: $name: $count options, each in $(basename "$page")"
done
