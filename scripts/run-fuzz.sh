#!/usr/bin/env bash
# Runs every fuzz target for its full time, each from its seed corpus in
# fuzz/corpus/<target>/ when there is one, and fails at the end if any target
# failed, so that one crash does not hide the others.
set -u
bin_dir=$(cd "$1" && pwd)
seconds=$2
top=$(cd "$(dirname "$0")/.." && pwd)
failed=()
for f in "$bin_dir"/*_fuzz; do
  name=$(basename "$f")
  echo "== $name"
  work=$(mktemp -d)
  seeds=()
  [ -d "$top/fuzz/corpus/$name" ] && seeds=("$top/fuzz/corpus/$name")
  # New inputs go into a scratch folder and crashes beside the target; the seeds stay as they are.
  if ! (cd "$work" && "$f" -max_total_time="$seconds" -rss_limit_mb=2048 -artifact_prefix="$bin_dir/$name-" "$work" "${seeds[@]}"); then
    failed+=("$name")
  fi
  rm -rf "$work"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]}"
  exit 1
fi
echo "every fuzz target ran clean"
