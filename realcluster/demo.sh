#!/bin/sh
# demo.sh BUILD_DIR [--kerberos] [--keep]
#
# The demo's round trip against a real HDFS: starts a MiniDFSCluster (Kerberos-secured with
# --kerberos), writes a sample tree through Hadoop's own client (nested directories, an empty
# file, a file spanning several blocks, modes 0600/0750, an owner without a local account), then
# runs the built hdfsagent tool as an edge node would: a full backup, a change, an incremental
# backup, a restore into a second path and a verify of the restored tree. ACLs and extended
# attributes are left out (--no-acl). Exit status 0 only when every step succeeded.
set -eu

usage() {
    echo "usage: $0 BUILD_DIR [--kerberos] [--keep]" >&2
    exit 2
}
[ $# -ge 1 ] || usage
BUILD=$(cd -P -- "$1" && pwd -P)
shift
KERBEROS=
KEEP=
for arg in "$@"; do
    case $arg in
    --kerberos) KERBEROS=--kerberos ;;
    --keep) KEEP=1 ;;
    *) usage ;;
    esac
done
HERE=$(cd -P -- "$(dirname -- "$0")" && pwd -P)
TOOL=$BUILD/tools/hdfsagent/hdfsagent
[ -x "$TOOL" ] || {
    echo "demo: $TOOL is not built" >&2
    exit 1
}

ROOT=$(mktemp -d "${TMPDIR:-/tmp}/hdfsagent-real-demo.XXXXXX")
cleanup() {
    sh "$HERE/stop-cluster.sh" "$ROOT/cluster" >/dev/null 2>&1 || true
    if [ -n "$KEEP" ]; then
        echo "kept in $ROOT"
    else
        rm -rf "$ROOT"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step() {
    echo
    echo "== $*"
}

step "starting a MiniDFSCluster ${KERBEROS:+(Kerberos) }(10-30 s)"
started=$(date +%s)
sh "$HERE/start-cluster.sh" "$BUILD/realcluster/hadoop" "$ROOT/cluster" $KERBEROS --parent $$
# shellcheck disable=SC1091
. "$ROOT/cluster/env"
echo "ready after $(($(date +%s) - started)) s"

# The product home: the real libhdfs and the JDK named in the settings.
HOME_DIR=$ROOT/home
mkdir -p "$HOME_DIR" "$ROOT/backups"
{
    echo "[FileSystemAgent]"
    echo "HDP_LIB_PATH=$(dirname -- "$REALCLUSTER_LIBHDFS"):$REALCLUSTER_JAVA_HOME/lib/server"
    if [ -n "$KERBEROS" ]; then
        echo "sHdfsKeytabFile=$REALCLUSTER_DIR/kdc/keytabs/root.keytab"
    fi
} >"$HOME_DIR/settings.ini"
export HDFSAGENT_HOME="$HOME_DIR" LD_LIBRARY_PATH="$HOME_DIR"
export PATH="$REALCLUSTER_HADOOP_HOME/bin:$PATH" HADOOP_CONF_DIR="$REALCLUSTER_CONF_DIR"
export JAVA_HOME="$REALCLUSTER_JAVA_HOME"
unset HDFSAGENT_SETTINGS HDFSAGENT_LOG_DIR KRB5CCNAME HADOOP_USER_NAME
if [ -n "$KERBEROS" ]; then
    export KRB5_CONFIG="$REALCLUSTER_KRB5_CONFIG"
    export LIBHDFS_OPTS="${LIBHDFS_OPTS:-} -Djava.security.krb5.conf=$REALCLUSTER_KRB5_CONFIG"
    # Hadoop's own client below acts with a ticket of the realm's root.
    export KRB5CCNAME="$ROOT/demo.ccache"
    kinit -kt "$REALCLUSTER_KEYTAB" -c "$KRB5CCNAME" "$REALCLUSTER_PRINCIPAL"
fi

step "writing the sample tree /demo/src through Hadoop's client"
SAMPLE=$ROOT/sample/src
mkdir -p "$SAMPLE/a/b/c" "$SAMPLE/private"
: >"$SAMPLE/empty.dat"
printf 'x' >"$SAMPLE/one-byte"
head -c $((3 * REALCLUSTER_BLOCK_SIZE + 12345)) /dev/urandom >"$SAMPLE/a/blocks.bin"
echo "deep" >"$SAMPLE/a/b/c/deep.txt"
echo "owned by alice" >"$SAMPLE/private/alice.txt"
hdfs dfs -mkdir -p /demo
hdfs dfs -put "$SAMPLE" /demo/src
hdfs dfs -chmod 0600 /demo/src/a/b/c/deep.txt /demo/src/one-byte
hdfs dfs -chmod 0750 /demo/src/private /demo/src/a/blocks.bin
hdfs dfs -chown -R alice:analysts /demo/src/private
hdfs dfs -ls -R /demo/src

run() {
    echo "\$ hdfsagent $*"
    "$TOOL" --namenode "$REALCLUSTER_URI" --user root "$@"
}

step "full backup"
run backup --no-acl /demo/src "$ROOT/backups/full"
step "a change: one file rewritten, one added"
echo "rewritten" >"$SAMPLE/one-byte"
echo "new" >"$SAMPLE/a/new.txt"
hdfs dfs -put -f "$SAMPLE/one-byte" /demo/src/one-byte
hdfs dfs -put "$SAMPLE/a/new.txt" /demo/src/a/new.txt
step "incremental backup"
run backup --no-acl --incremental "$ROOT/backups/full" /demo/src "$ROOT/backups/incremental"
step "restore into /demo/restored"
run restore --no-acl "$ROOT/backups/incremental" /demo/restored
step "verify the restored tree"
run verify --no-acl "$ROOT/backups/incremental" /demo/restored
echo
echo "real-cluster demo PASSED"
