#!/bin/sh
# start-cluster.sh LAYOUT DIR [--kerberos] [--parent PID] [--block-size BYTES]
#
# Starts a MiniDFSCluster (one NameNode, one DataNode, 127.0.0.1) under DIR and waits until it
# stores a file. LAYOUT is the built Hadoop client layout (bin, share/hadoop, lib/native).
#   DIR/hadoop          a Hadoop home for this cluster: bin/hadoop, bin/hdfs, lib/native/libhdfs.so,
#                       etc/hadoop/core-site.xml + hdfs-site.xml naming the cluster
#   DIR/env             shell `export` lines describing the cluster (see the end of this script)
#   DIR/cluster.pid, DIR/cluster.log   the cluster JVM's process id and output
# --kerberos also creates a throwaway MIT realm in DIR/kdc (localcluster/kdc) with the service
# principals hdfs/localhost and HTTP/localhost, and secures the cluster with it: Kerberos RPC,
# block access tokens, SASL on data transfer. Users: root@REALM (10-hour tickets) and
# root/short@REALM (tickets live REALCLUSTER_SHORT_LIFE, default 10s), both mapped to root.
# The cluster stops when PID (default: the caller of this script) ends, or by stop-cluster.sh.
set -eu

usage() {
    echo "usage: $0 LAYOUT DIR [--kerberos] [--parent PID] [--block-size BYTES]" >&2
    exit 2
}

[ $# -ge 2 ] || usage
LAYOUT=$(cd -P -- "$1" && pwd -P)
DIR=$2
shift 2
KERBEROS=
PARENT=$PPID
BLOCK_SIZE=1048576
while [ $# -gt 0 ]; do
    case $1 in
    --kerberos) KERBEROS=1 ;;
    --parent)
        [ $# -ge 2 ] || usage
        PARENT=$2
        shift
        ;;
    --block-size)
        [ $# -ge 2 ] || usage
        BLOCK_SIZE=$2
        shift
        ;;
    *) usage ;;
    esac
    shift
done
HERE=$(cd -P -- "$(dirname -- "$0")" && pwd -P)
KDC_SCRIPTS=$HERE/../localcluster/kdc
READY_SECONDS=${REALCLUSTER_READY_SECONDS:-240}
SHORT_LIFE=${REALCLUSTER_SHORT_LIFE:-10s}

mkdir -p "$DIR"
DIR=$(cd -P -- "$DIR" && pwd -P)

fail() {
    echo "start-cluster: $*" >&2
    [ -f "$DIR/cluster.log" ] && tail -n 20 "$DIR/cluster.log" >&2
    "$HERE/stop-cluster.sh" "$DIR" >/dev/null 2>&1 || true
    exit 1
}

"$HERE/stop-cluster.sh" "$DIR" >/dev/null 2>&1 || true
rm -rf "$DIR/hadoop" "$DIR/data" "$DIR/env" "$DIR/uri" "$DIR/ready" "$DIR/cluster.pid" \
    "$DIR/cluster.log"

# The cluster's own Hadoop home: the layout's programs and jars, a configuration of its own.
HOME_DIR=$DIR/hadoop
CONF_DIR=$HOME_DIR/etc/hadoop
mkdir -p "$HOME_DIR/bin" "$CONF_DIR"
cp "$LAYOUT/bin/hadoop" "$LAYOUT/bin/hdfs" "$HOME_DIR/bin/"
ln -s "$LAYOUT/share" "$HOME_DIR/share"
ln -s "$LAYOUT/lib" "$HOME_DIR/lib"
cp "$LAYOUT/etc/hadoop/log4j.properties" "$CONF_DIR/"
JAVA_HOME=$(sed -n "s/^JAVA_HOME=\${JAVA_HOME:-\(.*\)}\$/\1/p" "$LAYOUT/bin/hadoop")
[ -x "$JAVA_HOME/bin/java" ] || fail "no java in $JAVA_HOME"

JAVA_OPTS=
KERBEROS_ARGS=
if [ -n "$KERBEROS" ]; then
    REALM=REALCLUSTER.HDFSAGENT.TEST
    KDC_EXTRA_PRINCIPALS="hdfs/localhost HTTP/localhost root/short" \
        sh "$KDC_SCRIPTS/start-kdc.sh" "$DIR/kdc" "$REALM" >"$DIR/kdc-start.log" 2>&1 ||
        fail "the KDC did not start: $(cat "$DIR/kdc-start.log")"
    KRB5_CONFIG=$DIR/kdc/krb5.conf KRB5_KDC_PROFILE=$DIR/kdc/kdc.conf \
        kadmin.local -r "$REALM" -q "modprinc -maxlife $SHORT_LIFE root/short@$REALM" \
        >"$DIR/kdc/modprinc.out" 2>&1 || fail "kadmin.local modprinc failed"
    JAVA_OPTS="-Djava.security.krb5.conf=$DIR/kdc/krb5.conf"
    KERBEROS_ARGS="--kerberos --realm $REALM --keytab $DIR/kdc/keytabs/hdfs_localhost.keytab"
    # A real client installation names its realm profile for every Hadoop JVM.
    echo "export HADOOP_OPTS=\"\${HADOOP_OPTS:-} $JAVA_OPTS\"" >"$CONF_DIR/hadoop-env.sh"
fi

# The launcher's class path: the configuration (log4j), the jars, the launcher itself.
# shellcheck disable=SC2086
"$JAVA_HOME/bin/java" -Xmx768m $JAVA_OPTS \
    -cp "$CONF_DIR:$LAYOUT/share/hadoop/client/*:$LAYOUT/share/hadoop/realcluster/*" \
    hdfsagent.realcluster.ClusterLauncher --base "$DIR" --conf-dir "$CONF_DIR" \
    --block-size "$BLOCK_SIZE" --superuser-group "$(id -gn)" --parent "$PARENT" \
    --group-mapping "alice=$(id -gn)" $KERBEROS_ARGS \
    </dev/null >"$DIR/cluster.log" 2>&1 &
PID=$!
echo "$PID" >"$DIR/cluster.pid"
if [ -n "$KERBEROS" ]; then
    # The realm lives as long as its cluster, however the cluster ends.
    (
        while kill -0 "$PID" 2>/dev/null; do sleep 1; done
        sh "$KDC_SCRIPTS/stop-kdc.sh" "$DIR/kdc"
    ) </dev/null >/dev/null 2>&1 &
fi

i=0
while [ ! -f "$DIR/ready" ]; do
    kill -0 "$PID" 2>/dev/null || fail "the cluster JVM exited"
    i=$((i + 1))
    [ $i -le $((READY_SECONDS * 5)) ] || fail "not ready after $READY_SECONDS s"
    sleep 0.2
done

{
    echo "export REALCLUSTER_DIR='$DIR'"
    echo "export REALCLUSTER_URI='$(cat "$DIR/uri")'"
    echo "export REALCLUSTER_HADOOP_HOME='$HOME_DIR'"
    echo "export REALCLUSTER_CONF_DIR='$CONF_DIR'"
    echo "export REALCLUSTER_LIBHDFS='$HOME_DIR/lib/native/libhdfs.so'"
    echo "export REALCLUSTER_JAVA_HOME='$JAVA_HOME'"
    echo "export REALCLUSTER_PID='$PID'"
    echo "export REALCLUSTER_BLOCK_SIZE='$BLOCK_SIZE'"
    if [ -n "$KERBEROS" ]; then
        echo "export REALCLUSTER_KRB5_CONFIG='$DIR/kdc/krb5.conf'"
        echo "export REALCLUSTER_REALM='$REALM'"
        echo "export REALCLUSTER_KEYTAB='$DIR/kdc/test.keytab'"
        echo "export REALCLUSTER_PRINCIPAL='root@$REALM'"
        echo "export REALCLUSTER_SHORT_PRINCIPAL='root/short@$REALM'"
        echo "export REALCLUSTER_SHORT_LIFE='$SHORT_LIFE'"
    fi
} >"$DIR/env.tmp"
mv "$DIR/env.tmp" "$DIR/env"
echo "cluster at $(cat "$DIR/uri") (pid $PID), environment in $DIR/env"
