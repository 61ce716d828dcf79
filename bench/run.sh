#!/bin/sh
# Runs every benchmark program of a build (bench_* in BUILD_DIR/bench) and prints, after each
# program's own report, a summary of its ratios.
#
# Convention for ratios: a benchmark that compares the library with a baseline reports a user
# counter whose name begins with "ratio" (library time over baseline time, measured alternately in
# one loop so that load drift hits both alike). Every such counter is listed in the summary.
#
# Usage: bench/run.sh BUILD_DIR [benchmark arguments...]
set -u

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [benchmark arguments...]" >&2
    exit 2
fi
build=$1
shift

# The libhdfs stand-in is loaded by bare name: put its build directory on the loader path.
LD_LIBRARY_PATH="$build/localcluster/libhdfs${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export LD_LIBRARY_PATH

summary=$(mktemp)
trap 'rm -f "$summary" "$summary.backup" "$summary.backup.rc"' EXIT INT TERM
status=0
found=0
for program in "$build"/bench/bench_*; do
    [ -x "$program" ] || continue
    found=1
    name=$(basename "$program")
    echo "=== $name"
    out=$(mktemp)
    "$program" "$@" >"$out"
    rc=$?
    cat "$out"
    if [ "$rc" -ne 0 ]; then
        echo "$name: FAILED (exit status $rc)" >&2
        status=1
    fi
    # Console lines look like: "BM_Name  12.3 us  12.1 us  1000 ratio=1.04 other=5".
    awk -v prog="$name" '{
        for (i = 2; i <= NF; i++)
            if ($i ~ /^ratio[A-Za-z0-9_]*=/) printf "%-28s %-40s %s\n", prog, $1, $i
    }' "$out" >>"$summary"
    rm -f "$out"
done

# hdfsagent backup against cp -a and tar on the same data (bench/backup-bench.sh): needs the tool
# in the build and about 8 GiB of disk; BACKUP_BENCH=0 skips it.
backup_summary="$summary.backup"
if [ "${BACKUP_BENCH:-1}" != 0 ] && [ -x "$build/tools/hdfsagent/hdfsagent" ]; then
    echo "=== backup-bench.sh"
    { sh "$(dirname "$0")/backup-bench.sh" "$build"; echo $? >"$backup_summary.rc"; } |
        tee "$backup_summary"
    if [ "$(cat "$backup_summary.rc")" -ne 0 ]; then
        echo "backup-bench.sh: a target was missed or the run failed" >&2
        status=1
    fi
fi

if [ "$found" -eq 0 ]; then
    echo "no benchmark programs in $build/bench" >&2
    exit 1
fi
echo
echo "=== Ratios (library over baseline)"
if [ -s "$summary" ]; then
    cat "$summary"
else
    echo "(none reported)"
fi
if [ -s "$backup_summary" ]; then
    echo
    sed -n '/^=== Ratios (hdfsagent/,$p' "$backup_summary"
fi
exit $status
