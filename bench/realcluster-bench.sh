#!/bin/sh
# hdfsagent against Hadoop's own copy tools on a real HDFS (realcluster/: MiniDFSCluster and the
# real Apache libhdfs), side by side in one run:
#   backup   hdfsagent backup --no-acl  vs  hadoop fs -copyToLocal (+ sync)  and
#            hadoop distcp -pugpt hdfs://... file://... (local job runner, + sync)
#   ACLs     hdfsagent backup (ACLs and extended attributes)  vs  the same with --no-acl, on a
#            tree where every path has an ACL and two extended attributes
#   restore  hdfsagent restore --no-acl  vs  hadoop fs -put  and  hadoop fs -put -p
#   verify   hdfsagent verify --no-acl DEST HDFS_PATH  vs  hadoop fs -checksum of every file
# on 8 files of 256 MiB (64 MiB blocks) and 20,000 files of 4 KiB in 200 directories.
#
# Ratios are speeds: hdfsagent's over the other's (their time over ours); above 1, hdfsagent is
# faster. Targets: backup at least 1.5 of -copyToLocal on small files and 1.0 on large files;
# the backup with ACLs and extended attributes at least 0.5 of the same backup without; restore
# at least 1.0 of -put. Each contender runs once per round, the order rotating from round to
# round, so that load drift hits all alike; every round is printed, the best counts. distcp and
# FsShell on the small files take minutes a run: they run in the first SLOW_ROUNDS rounds only.
# hdfsagent waits for its copies to reach the disk before its manifest vouches for them, so the
# local copies of the others are followed by `sync -f` inside their time. Each command starts
# its own JVM, as a user's would; the time includes that start.
#
# Usage: bench/realcluster-bench.sh BUILD_DIR [WORK_DIR]   (about 8 GiB free in WORK_DIR)
# Environment: ROUNDS (3), SLOW_ROUNDS (1: the rounds of distcp and of FsShell on the small
# files, each of which takes minutes), PHASES (backup-large backup-small backup-acl
# restore-large restore-small verify; restore-acl, the restore with ACLs against the one without,
# on request), LARGE_FILES (8), LARGE_MIB (256),
# LARGE_BLOCK_MIB (64), SMALL_DIRS (200), SMALL_PER_DIR (100), SMALL_BYTES (4096),
# SMALL_RESTORE_BASELINES ("put put_p": what the restore of small files is measured against),
# BENCH_PROFILE (empty; "perf" records a perf profile of each hdfsagent run into WORK_DIR;
# "log" keeps the library's log of each run there, at level 3, with millisecond times: where the
# time of a run goes between connecting, starting the REST service, listing zones and copying),
# BENCH_CLUSTER (empty: a cluster of the run's own; a directory of a running start-cluster.sh:
# that cluster, below /bench-PID), BENCH_TARGETS (1; 0: a missed target does not fail the run).
# Exit status 1 when a step fails or (BENCH_TARGETS=1) a target is missed.
set -eu

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [WORK_DIR]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
here=$(cd -P -- "$(dirname -- "$0")" && pwd -P)
tool=$build/tools/hdfsagent/hdfsagent
layout=$build/realcluster/hadoop
[ -x "$tool" ] || { echo "realcluster-bench: $tool is missing; build the tree first" >&2; exit 1; }
[ -f "$layout/lib/native/libhdfs.so" ] ||
    { echo "realcluster-bench: $layout is missing; build the target realcluster" >&2; exit 1; }
[ -f "$build/localcluster/utilserver/dxhdfsutil.jar" ] ||
    { echo "realcluster-bench: the REST service's jars are missing; build the tree first" >&2; exit 1; }
ROUNDS=${ROUNDS:-3}
SLOW_ROUNDS=${SLOW_ROUNDS:-1}
PHASES=${PHASES:-backup-large backup-small backup-acl restore-large restore-small verify}
LARGE_FILES=${LARGE_FILES:-8}
LARGE_MIB=${LARGE_MIB:-256}
LARGE_BLOCK_MIB=${LARGE_BLOCK_MIB:-64}
SMALL_DIRS=${SMALL_DIRS:-200}
SMALL_PER_DIR=${SMALL_PER_DIR:-100}
SMALL_BYTES=${SMALL_BYTES:-4096}
BENCH_PROFILE=${BENCH_PROFILE:-}
BENCH_CLUSTER=${BENCH_CLUSTER:-}
SMALL_RESTORE_BASELINES=${SMALL_RESTORE_BASELINES:-put put_p}
BENCH_TARGETS=${BENCH_TARGETS:-1}

parent=${2:-${TMPDIR:-/tmp}}
mkdir -p "$parent"
work=$(mktemp -d "$(cd "$parent" && pwd)/hdfsagent-realbench.XXXXXX")
cluster=$work/cluster
cleanup() {
    if [ -n "$BENCH_CLUSTER" ]; then
        hadoop fs -rm -r -skipTrash "$hroot" >/dev/null 2>&1 || true
    else
        sh "$here/../realcluster/stop-cluster.sh" "$cluster" >/dev/null 2>&1 || true
    fi
    # Profiles are kept for reading; everything else goes.
    find "$work" -mindepth 1 -maxdepth 1 ! -name 'profile-*' -exec rm -rf {} + 2>/dev/null || true
    rmdir "$work" 2>/dev/null || true
}
trap cleanup EXIT
trap 'trap - EXIT; cleanup; exit 130' INT TERM

say() { printf '%s\n' "$*"; }
now() { date +%s.%N; }
calc() { awk "BEGIN { print $* }"; }
ratio() { awk "BEGIN { printf \"%.2f\", $1 / $2 }"; }
per() { awk "BEGIN { printf \"%.0f\", $1 / $2 }"; }
holds() { awk "BEGIN { print ($*) ? 1 : 0 }"; }

if [ -n "$BENCH_CLUSTER" ]; then
    cluster=$BENCH_CLUSTER
    hroot=/bench-$$
else
    say "== starting a MiniDFSCluster"
    sh "$here/../realcluster/start-cluster.sh" "$layout" "$cluster" --parent $$ >/dev/null
    hroot=/bench
fi
# shellcheck disable=SC1091
. "$cluster/env"
uri=$REALCLUSTER_URI

# The tool runs as on an edge node: the cluster's client installation first on PATH, the product
# home's settings naming the real libhdfs and the JDK.
home=$work/home
mkdir -p "$home/dxjars" "$work/out" "$work/kept" "$work/logs"
# The REST service for ACLs and extended attributes, as the build made it.
for file in dxhdfsutil.jar dxhdfsutil-nodep.jar dxhadooputil.properties dxhadooplog4j.properties; do
    ln -s "$build/localcluster/utilserver/$file" "$home/dxjars/$file"
done
ln -s "$here/../hadoop/templates/dxhadoopnativelog4j.properties" "$home/dxjars/"
{
    echo "[FileSystemAgent]"
    echo "HDP_LIB_PATH=$(dirname -- "$REALCLUSTER_LIBHDFS"):$REALCLUSTER_JAVA_HOME/lib/server"
    echo "nHadoopRestUtilWaitTime=600"
    if [ "$BENCH_PROFILE" = log ]; then
        echo "[EventManager]"
        echo "hdfsagent_DEBUGLEVEL=3"
    fi
} >"$home/settings.ini"
# A client closing a file waits until the DataNode has reported the file's last block to the
# NameNode; on this one loaded machine that report mostly arrives after the client's first
# request, which then backs off 400 ms: 0.15-0.3 s per file for every writer alike, so that a
# restore of 20,000 files would measure nothing but that wait. Every client here (FsShell,
# distcp, the libhdfs in hdfsagent) reads the same configuration, which retries after 10 ms.
cp -R "$REALCLUSTER_CONF_DIR" "$work/conf"
sed 's|</configuration>|<property><name>dfs.client.block.write.locateFollowingBlock.initial.delay.ms</name><value>10</value></property></configuration>|' \
    "$REALCLUSTER_CONF_DIR/hdfs-site.xml" >"$work/conf/hdfs-site.xml"
export HDFSAGENT_HOME="$home" LD_LIBRARY_PATH="$home"
export PATH="$REALCLUSTER_HADOOP_HOME/bin:$PATH" HADOOP_CONF_DIR="$work/conf"
export JAVA_HOME="$REALCLUSTER_JAVA_HOME"
unset HDFSAGENT_SETTINGS HDFSAGENT_LOG_DIR HDFSAGENT_LOCK_DIR KRB5CCNAME HADOOP_USER_NAME \
    LOCALHDFS_FAULTS LOCALHDFS_SHORT_READS
log=$work/logs/commands.log

# Runs a command with its output in the log; on failure shows the log's end and stops the run.
quiet() {
    if ! "$@" >>"$log" 2>&1; then
        echo "realcluster-bench: failed: $*" >&2
        tail -n 30 "$log" >&2
        exit 1
    fi
}
agent() {
    if [ "$BENCH_PROFILE" = perf ]; then
        perf record -g -o "$work/profile-$1-$(date +%H%M%S%N).data" -- \
            "$tool" --namenode "$uri" --user root "$@"
    elif [ "$BENCH_PROFILE" = log ]; then
        agent_status=0
        "$tool" --namenode "$uri" --user root "$@" || agent_status=$?
        mv "$home/log/hdfsagent.log" "$work/profile-$1-$(date +%H%M%S%N).log" 2>/dev/null || true
        return $agent_status
    else
        "$tool" --namenode "$uri" --user root "$@"
    fi
}
tree_writer() {
    "$JAVA_HOME/bin/java" -Xmx512m \
        -cp "$HADOOP_CONF_DIR:$REALCLUSTER_HADOOP_HOME/share/hadoop/client/*:$REALCLUSTER_HADOOP_HOME/share/hadoop/realcluster/*" \
        hdfsagent.realcluster.TreeWriter "$@"
}
# What a timed run reads comes from the page cache for every contender alike (tar would skip
# reading the files when it writes to /dev/null itself).
warm() { for d in "$@"; do find "$d" -type f -exec cat {} + >/dev/null 2>&1 || true; done; }

say "== writing the data through Hadoop's client"
large_bytes=$((LARGE_MIB * 1048576))
small_files=$((SMALL_DIRS * SMALL_PER_DIR))
large_mib=$((LARGE_FILES * LARGE_MIB))
# Only the trees the chosen phases use, each with a backup kept for the restores and verifies.
needs() { for phase in "$@"; do case " $PHASES " in *" $phase "*) return 0 ;; esac; done; return 1; }
if needs backup-large restore-large verify; then
    quiet tree_writer --block-size $((LARGE_BLOCK_MIB * 1048576)) "$hroot/large" 0 \
        "$LARGE_FILES" "$large_bytes"
    quiet agent backup --no-acl "$hroot/large" "$work/kept/large"
fi
if needs backup-small restore-small verify; then
    quiet tree_writer "$hroot/small" "$SMALL_DIRS" "$SMALL_PER_DIR" "$SMALL_BYTES"
    quiet agent backup --no-acl "$hroot/small" "$work/kept/small"
fi
if needs backup-acl restore-acl; then
    quiet tree_writer --decorate "$hroot/acl" "$SMALL_DIRS" "$SMALL_PER_DIR" "$SMALL_BYTES"
    quiet agent backup "$hroot/acl" "$work/kept/acl"
fi
quiet hadoop fs -mkdir "$hroot/restored"

# One run of one contender: prints its time in seconds. Before it, what earlier runs left dirty
# goes to the disk, and the data it reads is read once.
timed() { # CONTENDER DEST
    sync
    warm "$REALCLUSTER_DIR/data" "$KEPT"
    t0=$(now)
    quiet "run_$1" "$2"
    t1=$(now)
    calc "$t1 - $t0"
}

# The contenders. SRC is the tree in HDFS, KEPT its kept backup; DEST the run's own destination.
run_backup() { agent backup --no-acl "$SRC" "$1"; }
run_backup_acl() { agent backup "$SRC" "$1"; }
run_copytolocal() { hadoop fs -copyToLocal "$SRC" "$1" && sync -f "$1"; }
run_distcp() {
    hadoop distcp -Dmapreduce.framework.name=local -Dhadoop.tmp.dir="$work/distcp-tmp" -pugpt \
        "$uri$SRC" "file://$1" && sync -f "$1"
}
run_restore() { agent restore --no-acl "$KEPT" "$1"; }
run_restore_acl() { agent restore "$KEPT" "$1"; }
run_put() { hadoop fs -put "$KEPT/data" "$1"; }
run_put_p() { hadoop fs -put -p "$KEPT/data" "$1"; }
run_verify() { agent verify --no-acl "$KEPT" "$SRC"; }
run_checksum() { hadoop fs -checksum "$SRC$GLOB" >/dev/null; }

label() {
    case $1 in
    backup | restore | verify) echo hdfsagent ;;
    backup_acl | restore_acl) echo "hdfsagent with ACLs" ;;
    copytolocal) echo -copyToLocal ;; distcp) echo distcp ;; put) echo -put ;;
    put_p) echo "-put -p" ;; checksum) echo -checksum ;;
    esac
}
# Where a contender writes: a local directory, or a path in HDFS for the restores.
destination() { # CONTENDER ROUND
    case $1 in
    restore* | put*) echo "$hroot/restored/$1-$2" ;;
    *) echo "$work/out/$1-$2" ;;
    esac
}
# ROUNDS rounds of every contender, the order rotating; a contender named in SLOW runs in the
# first SLOW_ROUNDS rounds only. Every round's times are printed; best_<contender> holds the best.
rounds() { # CONTENDER...
    order="$*"
    for c in "$@"; do eval "best_$c=999999"; done
    r=1
    while [ "$r" -le "$ROUNDS" ]; do
        line="   round $r:"
        for c in $order; do
            case " ${SLOW:-} " in
            *" $c "*) [ "$r" -le "$SLOW_ROUNDS" ] || continue ;;
            esac
            dest=$(destination "$c" "$r")
            t=$(timed "$c" "$dest")
            eval "best_$c=\$(awk \"BEGIN { print (\$t < \$best_$c) ? \$t : \$best_$c }\")"
            line="$line $(label "$c") $(printf '%.2f' "$t") s,"
            case $dest in
            "$work"/*) rm -rf "$dest" ;;
            esac
        done
        say "${line%,}"
        case "$*" in
        *restore*) quiet hadoop fs -rm -r -f -skipTrash "$hroot/restored/*" ;;
        esac
        order="${order#* } ${order%% *}"
        r=$((r + 1))
    done
}

summary=
missed=0
# Adds a ratio to the summary; with a target, checks it.
result() { # TEXT RATIO [TARGET]
    if [ $# -ge 3 ]; then
        if [ "$(holds "$2 >= $3")" -eq 1 ]; then
            verdict="target $3: ok"
        else
            verdict="target $3: BELOW"
            missed=1
        fi
        summary="$summary$(printf '%-58s %5s (%s)' "$1" "$2" "$verdict")
"
    else
        summary="$summary$(printf '%-58s %5s' "$1" "$2")
"
    fi
}

if needs backup-large; then
    say "== backup, $LARGE_FILES files of $LARGE_MIB MiB ($large_mib MiB, ${LARGE_BLOCK_MIB} MiB blocks)"
    SRC=$hroot/large KEPT=$work/kept/large SLOW=distcp
    rounds backup copytolocal distcp
    say "   best: hdfsagent $(per "$large_mib" "$best_backup") MiB/s, -copyToLocal $(per "$large_mib" "$best_copytolocal") MiB/s, distcp $(per "$large_mib" "$best_distcp") MiB/s"
    result "backup, large files, vs -copyToLocal" "$(ratio "$best_copytolocal" "$best_backup")" 1.0
    result "backup, large files, vs distcp -pugpt" "$(ratio "$best_distcp" "$best_backup")"
fi
if needs backup-small; then
    say "== backup, $small_files files of $SMALL_BYTES B in $SMALL_DIRS directories"
    SRC=$hroot/small KEPT=$work/kept/small SLOW="copytolocal distcp"
    rounds backup copytolocal distcp
    say "   best: hdfsagent $(per "$small_files" "$best_backup") files/s, -copyToLocal $(per "$small_files" "$best_copytolocal") files/s, distcp $(per "$small_files" "$best_distcp") files/s"
    result "backup, small files, vs -copyToLocal" "$(ratio "$best_copytolocal" "$best_backup")" 1.5
    result "backup, small files, vs distcp -pugpt" "$(ratio "$best_distcp" "$best_backup")"
fi
if needs backup-acl; then
    say "== backup with and without ACLs and extended attributes, $small_files files (each path: an ACL, 2 xattrs)"
    SRC=$hroot/acl KEPT=$work/kept/acl SLOW=
    rounds backup_acl backup
    say "   best: with $(per "$small_files" "$best_backup_acl") files/s, without $(per "$small_files" "$best_backup") files/s"
    result "backup with ACLs and xattrs, vs the same without" "$(ratio "$best_backup" "$best_backup_acl")" 0.5
fi
if needs restore-large; then
    say "== restore, $LARGE_FILES files of $LARGE_MIB MiB"
    SRC=$hroot/large KEPT=$work/kept/large SLOW=
    rounds restore put put_p
    say "   best: hdfsagent $(per "$large_mib" "$best_restore") MiB/s, -put $(per "$large_mib" "$best_put") MiB/s, -put -p $(per "$large_mib" "$best_put_p") MiB/s"
    result "restore, large files, vs -put" "$(ratio "$best_put" "$best_restore")" 1.0
    result "restore, large files, vs -put -p" "$(ratio "$best_put_p" "$best_restore")"
fi
if needs restore-small; then
    say "== restore, $small_files files of $SMALL_BYTES B"
    SRC=$hroot/small KEPT=$work/kept/small SLOW="put put_p"
    # shellcheck disable=SC2086
    rounds restore $SMALL_RESTORE_BASELINES
    say "   best: hdfsagent $(per "$small_files" "$best_restore") files/s, -put $(per "$small_files" "$best_put") files/s"
    result "restore, small files, vs -put" "$(ratio "$best_put" "$best_restore")" 1.0
    case " $SMALL_RESTORE_BASELINES " in
    *" put_p "*) result "restore, small files, vs -put -p" "$(ratio "$best_put_p" "$best_restore")" ;;
    esac
fi
if needs restore-acl; then
    say "== restore with and without ACLs and extended attributes, $small_files files"
    SRC=$hroot/acl KEPT=$work/kept/acl SLOW=
    rounds restore_acl restore
    result "restore with ACLs and xattrs, vs the same without" "$(ratio "$best_restore" "$best_restore_acl")"
fi
if needs verify; then
    # hdfsagent re-hashes the backup's copy and reads every file of the tree; -checksum has the
    # DataNode compute each file's checksum where the data lies.
    say "== verify against the tree, $LARGE_FILES files of $LARGE_MIB MiB"
    SRC=$hroot/large KEPT=$work/kept/large GLOB=/* SLOW=
    rounds verify checksum
    result "verify, large files, vs -checksum" "$(ratio "$best_checksum" "$best_verify")"
    say "== verify against the tree, $small_files files of $SMALL_BYTES B"
    SRC=$hroot/small KEPT=$work/kept/small GLOB=/*/* SLOW=checksum
    rounds verify checksum
    result "verify, small files, vs -checksum" "$(ratio "$best_checksum" "$best_verify")"
fi

say ""
say "=== Ratios on the real cluster (hdfsagent's speed over the other's; above 1 is faster)"
printf '%s' "$summary"
[ "$missed" -eq 0 ] || [ "$BENCH_TARGETS" = 0 ]
