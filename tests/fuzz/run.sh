#!/usr/bin/env bash
# Runs every fuzz target for a bounded time. Usage: tests/fuzz/run.sh BUILD_DIR SECONDS
# New crash inputs are saved under tests/fuzz/crashes/<target>/, where the replay test runs them.
set -euo pipefail
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
status=0
for fuzzer in "$build"/tests/fuzz/fuzz_*; do
    [ -x "$fuzzer" ] || continue
    target=${fuzzer##*/fuzz_}
    work="$build/fuzz-corpus/$target"
    mkdir -p "$work" "$here/crashes/$target"
    echo "== fuzz $target for ${seconds}s"
    # -close_fd_mask=1: the programs' progress lines would only slow the search down.
    if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=1 \
        -print_final_stats=1 -artifact_prefix="$here/crashes/$target/" "$work" \
        "$here/corpus/$target" >"$build/fuzz-$target.log" 2>&1; then
        status=1
        tail -n 40 "$build/fuzz-$target.log"
        echo "fuzz $target: FAILED; the input is saved under tests/fuzz/crashes/$target/"
    fi
    grep -E '^(Done|stat::number_of_executed_units)' "$build/fuzz-$target.log" || true
done
exit $status
