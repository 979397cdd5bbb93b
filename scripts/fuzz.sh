#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a fixed time (default 60 s).
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]; longer runs: scripts/fuzz.sh 3600 http_answer
# New inputs go to a scratch corpus; the seeds in fuzz/corpus stay as committed.
# A crash leaves its input as build/fuzz/crash-*: add it to fuzz/corpus/<target>/ as a regression seed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(params http_answer username)
scripts/deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
for t in "${targets[@]}"; do
  work=$(mktemp -d)
  cp -r "fuzz/corpus/$t/." "$work/"
  echo "== fuzz_$t for ${seconds}s"
  log="build/fuzz/fuzz_$t.log"
  rc=0
  (cd build/fuzz && "./fuzz/fuzz_$t" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=1024 \
     -print_final_stats=1 "$work") >"$log" 2>&1 || rc=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|SUMMARY)|ERROR' "$log" || true
  if [ "$rc" -ne 0 ]; then tail -40 "$log"; rm -rf "$work"; echo "fuzz_$t FAILED"; exit 1; fi
  rm -rf "$work"
done
