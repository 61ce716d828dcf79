#!/bin/sh
# stop-cluster.sh DIR — stops the cluster (and its KDC, if any) that start-cluster.sh runs in DIR.
set -eu
[ $# -eq 1 ] || {
    echo "usage: $0 DIR" >&2
    exit 2
}
DIR=$1
HERE=$(cd -P -- "$(dirname -- "$0")" && pwd -P)

if [ -f "$DIR/cluster.pid" ]; then
    PID=$(cat "$DIR/cluster.pid")
    # Only a JVM running our launcher is ours to stop: the pid may have been reused.
    if kill -0 "$PID" 2>/dev/null &&
        tr '\0' ' ' <"/proc/$PID/cmdline" 2>/dev/null | grep -q 'hdfsagent.realcluster.ClusterLauncher'; then
        kill -TERM "$PID" 2>/dev/null || true
        i=0
        while kill -0 "$PID" 2>/dev/null && [ $i -lt 150 ]; do
            i=$((i + 1))
            sleep 0.2
        done
        kill -KILL "$PID" 2>/dev/null || true
    fi
    rm -f "$DIR/cluster.pid" "$DIR/ready" "$DIR/env"
fi
if [ -d "$DIR/kdc" ]; then
    sh "$HERE/../localcluster/kdc/stop-kdc.sh" "$DIR/kdc" >/dev/null 2>&1 || true
fi
