#!/bin/sh
# stop-kdc.sh DIR
#
# Stops the KDC that start-kdc.sh started in DIR: SIGTERM to the process in DIR/kdc.pid (only
# when it is a krb5kdc, so a reused process id is never hit), then waits up to 3 s for it to
# end, SIGKILL after that. Removes DIR/kdc.pid. Succeeds when no KDC was running.
set -u

[ $# -eq 1 ] || {
    echo "usage: $0 DIR" >&2
    exit 2
}
PIDFILE=$1/kdc.pid
[ -f "$PIDFILE" ] || exit 0
PID=$(cat "$PIDFILE")

is_our_kdc() {
    [ -n "$PID" ] && kill -0 "$PID" 2>/dev/null &&
        tr '\0' ' ' <"/proc/$PID/cmdline" 2>/dev/null | grep -q krb5kdc
}

if is_our_kdc; then
    kill -TERM "$PID" 2>/dev/null
    i=0
    while is_our_kdc && [ $i -lt 150 ]; do
        i=$((i + 1))
        sleep 0.02
    done
    if is_our_kdc; then
        kill -KILL "$PID" 2>/dev/null
        sleep 0.1
    fi
fi
rm -f "$PIDFILE"
exit 0
