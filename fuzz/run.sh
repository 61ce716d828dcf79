#!/bin/sh
# Runs every libFuzzer target built in BUILD_DIR/fuzz for $FUZZ_SECONDS seconds each (default 10),
# or until it has made $FUZZ_RUNS executions when that is set and comes first.
# The corpus of each target grows under BUILD_DIR/fuzz/corpus/<target>; crash reproducers land in
# BUILD_DIR/fuzz/artifacts/. Fails when any target finds a crash, a leak or a time-out.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$1
seconds=${FUZZ_SECONDS:-10}
runs=${FUZZ_RUNS:-}
source_dir=$(cd "$(dirname "$0")" && pwd)
fuzz_dir="$build/fuzz"

found=0
failed=""
for target in "$fuzz_dir"/fuzz_*; do
    [ -f "$target" ] && [ -x "$target" ] || continue
    found=$((found + 1))
    name=$(basename "$target")
    corpus="$fuzz_dir/corpus/$name"
    artifacts="$fuzz_dir/artifacts"
    log="$fuzz_dir/$name.log"
    mkdir -p "$corpus" "$artifacts"
    set -- "$corpus"
    [ -d "$source_dir/seeds/$name" ] && set -- "$@" "$source_dir/seeds/$name"
    [ -n "$runs" ] && set -- -runs="$runs" "$@"
    echo "== $name: ${seconds}s${runs:+ or $runs runs}"
    if "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$name-" "$@" >"$log" 2>&1; then
        grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "$log" || true
    else
        echo "!! $name failed; the end of $log:"
        tail -n 40 "$log"
        failed="$failed $name"
    fi
done

if [ "$found" -eq 0 ]; then
    echo "no fuzz targets found in $fuzz_dir (configure with -DHDFSAGENT_FUZZ=ON and clang)" >&2
    exit 1
fi
if [ -n "$failed" ]; then
    echo "fuzz targets that failed:$failed" >&2
    exit 1
fi
echo "all $found fuzz targets ran ${seconds}s without a finding"
