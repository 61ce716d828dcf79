#!/bin/sh
# Speed and memory of `hdfsagent backup` against cp -a and tar -cf of the namespace's backing
# directory, on the same data, in one run:
#   1. 8 files of 256 MiB:              throughput, target at least 0.7 of cp -a's;
#   2. 20,000 files of 4 KiB in 200 directories: files per second, target at least 0.5 of cp -a's;
#   3. 1,000,000 small files in 1,000 directories: peak resident memory of hdfsagent backup,
#      restore and verify, target at most 64 MiB each (ACLs left out: one REST request per path
#      would take minutes; the service runs in a process of its own).
#
# The data lives in the backing directory of a throwaway localcluster installation made by
# `hdfsagent demo --setup-only`; hdfsagent reads it through the library and the libhdfs stand-in,
# cp and tar read the backing directory itself. By default hdfsagent ends a backup by waiting
# for its copies to reach the disk before its manifest is written (a backup is only done when it
# is on disk); cp -a does not wait. So each target is checked on equal terms twice: hdfsagent
# against cp -a followed by `sync -f` of its destination, and `hdfsagent backup --no-sync`
# against plain cp -a. The default hdfsagent against plain cp -a is printed as well, and, for the
# large files, --no-sync against dd copying each file through a 4 MiB buffer: cp -a copies inside
# the kernel, while hdfsagent (like dd) gets its data in user memory and must write it from there,
# which on some virtual machines costs several times more per byte of fresh page cache. Each
# measurement is the best of ROUNDS runs (default 3); in each round every contender runs once,
# the order rotating from round to round, each on a source read into the page cache just
# before, so that load drift and cache effects hit all alike.
# The copies measure data and metadata (--no-acl); the small files are also backed up with their
# ACLs and extended attributes (the default, read from the REST service in batches), against the
# same backup without them: target at least 0.5 (reported, not part of the exit status).
#
# Usage: bench/backup-bench.sh BUILD_DIR [WORK_DIR]    (needs about 8 GiB free in WORK_DIR)
# Environment: ROUNDS (3), LARGE_FILES (8), LARGE_MIB (256), SMALL_DIRS (200),
# SMALL_PER_DIR (100), MANY_DIRS (1000), MANY_PER_DIR (1000), MANY_BYTES (16).
set -eu

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [WORK_DIR]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
tool=$build/tools/hdfsagent/hdfsagent
[ -x "$tool" ] || { echo "backup-bench: $tool is missing; build the tree first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "backup-bench: /usr/bin/time is missing (Debian package time)" >&2; exit 1; }
ROUNDS=${ROUNDS:-3}
LARGE_FILES=${LARGE_FILES:-8}
LARGE_MIB=${LARGE_MIB:-256}
SMALL_DIRS=${SMALL_DIRS:-200}
SMALL_PER_DIR=${SMALL_PER_DIR:-100}
MANY_DIRS=${MANY_DIRS:-1000}
MANY_PER_DIR=${MANY_PER_DIR:-1000}
MANY_BYTES=${MANY_BYTES:-16}

if [ $# -ge 2 ]; then
    mkdir -p "$2"
    export TMPDIR
    TMPDIR=$(cd "$2" && pwd)
fi

# The throwaway installation; its environment comes as a JSON object on one line.
setup=$("$tool" --json demo --setup-only)
root=$(printf '%s\n' "$setup" | sed -n 's/.*"root":"\([^"]*\)".*/\1/p')
[ -n "$root" ] && [ -d "$root" ] || { echo "backup-bench: no demo set-up: $setup" >&2; exit 1; }
trap 'rm -rf "$root"' EXIT INT TERM
# The environment `hdfsagent demo` gives its steps (DemoSetup.h describes the layout).
export HDFSAGENT_HOME="$root/home" LD_LIBRARY_PATH="$root/home"
export HADOOP_CONF_DIR="$root/hadoop/etc/hadoop" HBASE_CONF_DIR="$root/hadoop/etc/hbase"
export PATH="$root/hadoop/bin:$PATH" HDFSAGENT_RESTUTIL_RETRY_MS=250
unset HDFSAGENT_SETTINGS HDFSAGENT_LOG_DIR HDFSAGENT_LOCK_DIR HADOOP_USER_NAME KRB5CCNAME \
    LOCALHDFS_FAULTS LOCALHDFS_SHORT_READS
ns=$root/namespace
out=$root/out
mkdir -p "$out"

now() { date +%s.%N; }
calc() { awk "BEGIN { print $* }"; }
elapsed() { calc "$2 - $1"; }
min() { calc "($1 < $2) ? $1 : $2"; }
ratio() { awk "BEGIN { printf \"%.2f\", $1 / $2 }"; }
per() { awk "BEGIN { printf \"%.0f\", $1 / $2 }"; }
# 1 when the comparison holds.
holds() { awk "BEGIN { print ($*) ? 1 : 0 }"; }
say() { printf '%s\n' "$*"; }

# Reads a tree into the page cache (the machine may evict pages it has not touched lately).
# Through a pipe: GNU tar writing to /dev/null itself skips reading the files.
warm() { tar -cf - -C "$1" . | cat >/dev/null; }
# Times one command on a warm source (SOURCE is set by the caller), after flushing what earlier
# runs left dirty; prints seconds.
timed() {
    warm "$SOURCE"
    sync
    t0=$(now)
    "$@" >/dev/null
    t1=$(now)
    elapsed "$t0" "$t1"
}
cp_synced() { cp -a "$1" "$2" && sync -f "$2"; }
# Copies every file of a flat directory with read() and write() through a 4 MiB buffer, as any
# program must that gets its data in user memory (hdfsagent gets it from libhdfs).
dd_each() {
    mkdir "$2"
    for f in "$1"/*; do dd if="$f" of="$2/${f##*/}" bs=4M status=none || return 1; done
}
tar_synced() { tar -cf "$2" -C "$1" . && sync -f "$2"; }
backup() { "$tool" backup --no-acl "$@"; }
backup_nosync() { "$tool" backup --no-acl --no-sync "$@"; }
backup_acl() { "$tool" backup "$@"; }

say "== building the data in $ns/bench"
mkdir -p "$ns/bench/large" "$ns/bench/small" "$ns/bench/many"
head -c $((LARGE_MIB * 1048576)) /dev/urandom >"$ns/bench/large/f1"
i=2
while [ $i -le "$LARGE_FILES" ]; do
    cp "$ns/bench/large/f1" "$ns/bench/large/f$i"
    i=$((i + 1))
done
make_small_tree() { # DIR DIRS PER_DIR BYTES
    d=0
    while [ $d -lt "$2" ]; do
        mkdir -p "$1/d$d"
        head -c $(($3 * $4)) /dev/urandom | (cd "$1/d$d" && split -b "$4" -a 4 - f)
        d=$((d + 1))
    done
}
make_small_tree "$ns/bench/small" "$SMALL_DIRS" "$SMALL_PER_DIR" 4096
make_small_tree "$ns/bench/many" "$MANY_DIRS" "$MANY_PER_DIR" "$MANY_BYTES"
small_files=$((SMALL_DIRS * SMALL_PER_DIR))
many_files=$((MANY_DIRS * MANY_PER_DIR))
large_mib=$((LARGE_FILES * LARGE_MIB))

label() {
    case $1 in
    tool) echo hdfsagent ;; ns) echo --no-sync ;; cps) echo cp -a+sync ;; cp) echo cp -a ;;
    tar) echo tar+sync ;; dd) echo dd ;; acl) echo with-ACLs ;;
    esac
}
# Runs one contender once on SOURCE (HDFS_SOURCE for hdfsagent) in round $r and keeps its best
# time in best_<contender>; the copy is removed right after unless KEEP is 1.
once() { # PHASE CONTENDER
    dest=$out/$1-$2-$r
    case $2 in
    tool) t=$(timed backup "$HDFS_SOURCE" "$dest") ;;
    ns) t=$(timed backup_nosync "$HDFS_SOURCE" "$dest") ;;
    acl) t=$(timed backup_acl "$HDFS_SOURCE" "$dest") ;;
    cps) t=$(timed cp_synced "$SOURCE" "$dest") ;;
    cp) t=$(timed cp -a "$SOURCE" "$dest") ;;
    tar) t=$(timed tar_synced "$SOURCE" "$dest.tar") ;;
    dd) t=$(timed dd_each "$SOURCE" "$dest") ;;
    esac
    eval "best_$2=\$(min \"\$best_$2\" \"\$t\")"
    [ "$KEEP" = 1 ] || rm -rf "$dest" "$dest.tar"
}
# ROUNDS rounds of every contender, the order rotating from round to round.
rounds() { # PHASE CONTENDER...
    phase=$1
    shift
    order="$*"
    for c in "$@"; do eval "best_$c=999999"; done
    r=1
    while [ $r -le "$ROUNDS" ]; do
        for c in $order; do once "$phase" "$c"; done
        order="${order#* } ${order%% *}"
        line="   round $r:"
        for c in "$@"; do eval "line=\"\$line $(label "$c") \$best_$c s,\""; done
        say "${line%,} (best so far)"
        r=$((r + 1))
    done
}

say "== 1. $LARGE_FILES files of $LARGE_MIB MiB ($large_mib MiB), best of $ROUNDS"
SOURCE=$ns/bench/large HDFS_SOURCE=/bench/large KEEP=0
rounds large tool ns cps cp tar dd
large_ratio_dd=$(ratio "$best_dd" "$best_ns")
large_ratio=$(ratio "$best_cps" "$best_tool")
large_ratio_plain=$(ratio "$best_cp" "$best_tool")
large_ratio_ns=$(ratio "$best_cp" "$best_ns")
large_ratio_tar=$(ratio "$best_tar" "$best_tool")
say "   hdfsagent $(per "$large_mib" "$best_tool") MiB/s, cp -a+sync $(per "$large_mib" "$best_cps") MiB/s; --no-sync $(per "$large_mib" "$best_ns") MiB/s, cp -a $(per "$large_mib" "$best_cp") MiB/s"

say "== 2. $small_files files of 4 KiB in $SMALL_DIRS directories, best of $ROUNDS"
# Copies are kept until the end: removing many files right before creating as many makes ext4
# search for inodes it may reuse, which would slow whoever runs next.
SOURCE=$ns/bench/small HDFS_SOURCE=/bench/small KEEP=1
rounds small tool ns cps cp tar acl
small_ratio=$(ratio "$best_cps" "$best_tool")
small_ratio_plain=$(ratio "$best_cp" "$best_tool")
small_ratio_ns=$(ratio "$best_cp" "$best_ns")
small_ratio_tar=$(ratio "$best_tar" "$best_tool")
small_ratio_acl=$(ratio "$best_cps" "$best_acl")
small_ratio_acl_own=$(ratio "$best_tool" "$best_acl")
say "   hdfsagent $(per "$small_files" "$best_tool") files/s, cp -a+sync $(per "$small_files" "$best_cps") files/s; --no-sync $(per "$small_files" "$best_ns") files/s, cp -a $(per "$small_files" "$best_cp") files/s; with ACLs and extended attributes $(per "$small_files" "$best_acl") files/s"
rm -rf "$out"/small-*

say "== 3. peak resident memory of hdfsagent backup, restore and verify over $many_files files"
# Peak resident set of one run of the tool, in MiB.
peak_mib() { # ARGS...
    /usr/bin/time -v "$tool" "$@" 2>"$out/time.txt" >/dev/null || {
        echo "backup-bench: hdfsagent $* failed:" >&2
        tail -n 20 "$out/time.txt" >&2
        exit 1
    }
    kib=$(sed -n 's/.*Maximum resident set size (kbytes): *//p' "$out/time.txt")
    awk "BEGIN { printf \"%.1f\", $kib / 1024 }"
}
sync
peak_backup=$(peak_mib backup --no-acl /bench/many "$out/many")
say "   backup:  $peak_backup MiB"
peak_restore=$(peak_mib restore --no-acl "$out/many" /bench/many-restored)
say "   restore: $peak_restore MiB"
peak_verify=$(peak_mib verify --no-acl "$out/many" /bench/many-restored)
say "   verify:  $peak_verify MiB"
rm -rf "$out/many" "$ns/bench/many" "$ns/bench/many-restored"
verdict() { # VALUE TARGET -> ok / BELOW
    if [ "$(holds "$1 >= $2")" -eq 1 ]; then echo ok; else echo BELOW; fi
}
mem_verdict=ok
for peak in "$peak_backup" "$peak_restore" "$peak_verify"; do
    [ "$(holds "$peak <= 64")" -eq 1 ] || mem_verdict=ABOVE
done

say ""
say "=== Ratios (hdfsagent over baseline; above 1 is faster)"
say "large files, throughput (target 0.7):"
say "   hdfsagent vs cp -a+sync:            $large_ratio ($(verdict "$large_ratio" 0.7))"
say "   hdfsagent --no-sync vs cp -a:       $large_ratio_ns ($(verdict "$large_ratio_ns" 0.7))"
say "   hdfsagent vs cp -a:                 $large_ratio_plain (waits for the disk, cp -a does not); vs tar+sync $large_ratio_tar"
say "   hdfsagent --no-sync vs dd bs=4M:    $large_ratio_dd (read and write through user memory, as hdfsagent must)"
say "small files, files/s (target 0.5):"
say "   hdfsagent vs cp -a+sync:            $small_ratio ($(verdict "$small_ratio" 0.5))"
say "   hdfsagent --no-sync vs cp -a:       $small_ratio_ns ($(verdict "$small_ratio_ns" 0.5))"
say "   hdfsagent vs cp -a:                 $small_ratio_plain; vs tar+sync $small_ratio_tar"
say "small files with ACLs and xattrs (REST):"
say "   vs the same backup without:         $small_ratio_acl_own (target 0.5: $(verdict "$small_ratio_acl_own" 0.5))"
say "   vs cp -a+sync:                      $small_ratio_acl"
say "peak memory over $many_files files: backup $peak_backup MiB, restore $peak_restore MiB, verify $peak_verify MiB (target at most 64: $mem_verdict)"
for value_target in "$large_ratio 0.7" "$large_ratio_ns 0.7" "$small_ratio 0.5" "$small_ratio_ns 0.5"; do
    # shellcheck disable=SC2086
    [ "$(verdict $value_target)" = ok ] || exit 1
done
[ "$mem_verdict" = ok ]
