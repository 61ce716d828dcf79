#!/bin/sh
# build-libhdfs.sh SOURCE_DIR JAVA_HOME OUTPUT
# Compiles the Apache libhdfs C sources against the JDK and checks its entry points.
set -eu
SRC=$1
JDK=$2
OUT=$3
EXPECTED_ENTRY_POINTS=75

cd "$SRC"
# shellcheck disable=SC2046
${CC:-cc} -shared -fPIC -O2 -w -D_GNU_SOURCE -I. -Iinclude -Iinclude/hdfs -I.. -Ios -Ios/posix \
    -I"$JDK/include" -I"$JDK/include/linux" \
    $(ls ./*.c os/posix/*.c) \
    -L"$JDK/lib/server" -ljvm -o "$OUT.tmp"
count=$(nm -D --defined-only "$OUT.tmp" | awk '$2 == "T" && $3 ~ /^hdfs/' | wc -l)
if [ "$count" -ne "$EXPECTED_ENTRY_POINTS" ]; then
    echo "build-libhdfs: $OUT exports $count hdfs* entry points, expected $EXPECTED_ENTRY_POINTS" >&2
    rm -f "$OUT.tmp"
    exit 1
fi
mv "$OUT.tmp" "$OUT"
