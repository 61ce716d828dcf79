#!/bin/sh
# start-kdc.sh DIR [REALM] [MAX_LIFE]
#
# Creates a throwaway MIT Kerberos realm under DIR and starts its KDC on a free 127.0.0.1 port.
#   DIR/krb5.conf, DIR/kdc.conf   client and KDC profiles (export KRB5_CONFIG, KRB5_KDC_PROFILE)
#   DIR/test.keytab               keys of every principal below
#   DIR/keytabs/<name>.keytab     keys of one principal ("/" in the name becomes "_"),
#                                 e.g. keytabs/hdfs.keytab, keytabs/hdfs_myhost.keytab
#   DIR/env                       shell `export` lines describing the realm (see below)
#   DIR/kdc.pid, DIR/kdc.log      the KDC's process id and log
# Principals: nobody, root, hdfs and the same names with the host name as instance
# (nobody/<host>, for `hostname` and, when it differs, `hostname -f`), plus the names listed in
# $KDC_EXTRA_PRINCIPALS (blank-separated, without realm). MAX_LIFE (default 10h, any MIT duration
# such as 5s or 0:00:05) bounds every ticket: the realm, krbtgt and each principal get it.
# An earlier KDC started in DIR is stopped first; DIR's realm files are replaced.
set -eu

usage() {
    echo "usage: $0 DIR [REALM] [MAX_LIFE]" >&2
    exit 2
}

[ $# -ge 1 ] && [ $# -le 3 ] || usage
DIR=$1
REALM=${2:-HDFSAGENT.TEST}
MAX_LIFE=${3:-10h}
PATH=/usr/sbin:/usr/bin:/sbin:/bin:$PATH
HERE=$(cd -P -- "$(dirname -- "$0")" && pwd -P)

mkdir -p "$DIR"
DIR=$(cd -P -- "$DIR" && pwd -P)

fail() {
    echo "start-kdc: $*" >&2
    [ -f "$DIR/kdc.log" ] && tail -n 5 "$DIR/kdc.log" >&2
    "$HERE/stop-kdc.sh" "$DIR" >/dev/null 2>&1 || true
    exit 1
}

for program in kdb5_util kadmin.local krb5kdc kinit; do
    command -v "$program" >/dev/null 2>&1 || fail "$program not found (install krb5-kdc, krb5-admin-server, krb5-user)"
done

"$HERE/stop-kdc.sh" "$DIR" >/dev/null 2>&1 || true
rm -rf "$DIR/principal" "$DIR/principal."* "$DIR/stash" "$DIR/test.keytab" "$DIR/keytabs" \
    "$DIR/env" "$DIR/kdc.pid" "$DIR/kdc.log" "$DIR/check.ccache"
mkdir -p "$DIR/keytabs"

# True when some socket on this machine is bound to the port (TCP or UDP, IPv4 or IPv6).
port_in_use() {
    hex=$(printf '%04X' "$1")
    cat /proc/net/tcp /proc/net/tcp6 /proc/net/udp /proc/net/udp6 2>/dev/null |
        awk -v p=":$hex" 'NR > 1 && substr($2, length($2) - 4) == p { found = 1 } END { exit !found }'
}

# A port in 20000-29999 that nothing uses (below the kernel's ephemeral range).
pick_port() {
    tries=0
    while [ $tries -lt 50 ]; do
        tries=$((tries + 1))
        n=$(od -An -N2 -tu2 /dev/urandom | tr -d ' ')
        port=$((20000 + n % 10000))
        if ! port_in_use "$port"; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

write_profiles() {
    cat >"$DIR/kdc.conf" <<EOF
[kdcdefaults]
 kdc_listen = 127.0.0.1:$PORT
 kdc_tcp_listen = 127.0.0.1:$PORT

[realms]
 $REALM = {
  database_name = $DIR/principal
  key_stash_file = $DIR/stash
  acl_file = $DIR/kadm5.acl
  kdc_listen = 127.0.0.1:$PORT
  kdc_tcp_listen = 127.0.0.1:$PORT
  max_life = $MAX_LIFE
  max_renewable_life = 0
  supported_enctypes = aes256-cts-hmac-sha1-96:normal aes128-cts-hmac-sha1-96:normal
 }

[logging]
 kdc = FILE:$DIR/kdc.log
EOF
    cat >"$DIR/krb5.conf" <<EOF
[libdefaults]
 default_realm = $REALM
 dns_lookup_kdc = false
 dns_lookup_realm = false
 rdns = false
 dns_canonicalize_hostname = false
 ignore_acceptor_hostname = true
 forwardable = false

[realms]
 $REALM = {
  kdc = 127.0.0.1:$PORT
 }
EOF
}

HOST_SHORT=$(hostname)
HOST_FULL=$(timeout 2 hostname -f 2>/dev/null || true)
PRINCIPALS="nobody root hdfs nobody/$HOST_SHORT root/$HOST_SHORT hdfs/$HOST_SHORT"
if [ -n "$HOST_FULL" ] && [ "$HOST_FULL" != "$HOST_SHORT" ]; then
    PRINCIPALS="$PRINCIPALS nobody/$HOST_FULL root/$HOST_FULL hdfs/$HOST_FULL"
fi
PRINCIPALS="$PRINCIPALS ${KDC_EXTRA_PRINCIPALS:-}"

PORT=$(pick_port) || fail "no free port found"
write_profiles
: >"$DIR/kadm5.acl"
export KRB5_CONFIG="$DIR/krb5.conf" KRB5_KDC_PROFILE="$DIR/kdc.conf"

PASSWORD=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
kdb5_util create -s -r "$REALM" -P "$PASSWORD" >"$DIR/kdb5_util.out" 2>&1 ||
    fail "kdb5_util create failed: $(cat "$DIR/kdb5_util.out")"

# One kadmin.local session for all principals and keytabs. test.keytab takes the keys first
# (ktadd gives each principal a fresh key); the one-principal keytabs copy them (-norandkey).
{
    echo "modprinc -maxlife $MAX_LIFE krbtgt/$REALM@$REALM"
    for p in $PRINCIPALS; do
        echo "addprinc -randkey -maxlife $MAX_LIFE $p@$REALM"
    done
    all=
    for p in $PRINCIPALS; do all="$all $p@$REALM"; done
    echo "ktadd -k $DIR/test.keytab$all"
    for p in $PRINCIPALS; do
        echo "ktadd -norandkey -k $DIR/keytabs/$(printf '%s' "$p" | tr '/' '_').keytab $p@$REALM"
    done
} | kadmin.local -r "$REALM" >"$DIR/kadmin.out" 2>&1 || fail "kadmin.local failed: $(cat "$DIR/kadmin.out")"
[ -s "$DIR/test.keytab" ] || fail "no keytab written: $(cat "$DIR/kadmin.out")"

# The KDC runs in the foreground of a background job, detached from our output so that whoever
# started this script is not kept waiting for it.
krb5kdc -n -r "$REALM" </dev/null >>"$DIR/kdc.log" 2>&1 &
PID=$!
echo "$PID" >"$DIR/kdc.pid"

# Ready when a kinit from the keytab succeeds (about 5 ms per try); give up after 3 s.
ready=
i=0
while [ $i -lt 150 ]; do
    i=$((i + 1))
    kill -0 "$PID" 2>/dev/null || fail "krb5kdc exited"
    if kinit -kt "$DIR/test.keytab" -c "$DIR/check.ccache" "hdfs@$REALM" >/dev/null 2>&1; then
        ready=1
        break
    fi
    sleep 0.02
done
rm -f "$DIR/check.ccache"
[ -n "$ready" ] || fail "KDC on 127.0.0.1:$PORT does not answer"

cat >"$DIR/env" <<EOF
export KRB5_CONFIG='$DIR/krb5.conf'
export KRB5_KDC_PROFILE='$DIR/kdc.conf'
export KDC_DIR='$DIR'
export KDC_REALM='$REALM'
export KDC_PORT='$PORT'
export KDC_KEYTAB='$DIR/test.keytab'
export KDC_KEYTAB_DIR='$DIR/keytabs'
export KDC_PID='$PID'
export KDC_MAX_LIFE='$MAX_LIFE'
export KDC_HOSTNAME='$HOST_SHORT'
export KDC_PRINCIPALS='$(echo $PRINCIPALS)'
EOF
echo "KDC for $REALM on 127.0.0.1:$PORT (pid $PID), environment in $DIR/env"
