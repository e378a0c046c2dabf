#!/bin/sh
# Runs a GoogleTest program as N shards at once (one a core), each shard's output
# kept and shown when all have ended; fails when any shard fails.
#   tools/run-shards.sh N LOG_PREFIX program [arguments...]
set -u
shards=$1
prefix=$2
shift 2
i=0
while [ "$i" -lt "$shards" ]; do
    ( GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i "$@" > "$prefix.$i.log" 2>&1; echo $? > "$prefix.$i.rc" ) &
    i=$((i + 1))
done
wait
status=0
i=0
while [ "$i" -lt "$shards" ]; do
    echo "== shard $((i + 1)) of $shards"
    cat "$prefix.$i.log"
    rc=$(cat "$prefix.$i.rc")
    [ "$rc" = 0 ] || { echo "== shard $((i + 1)) of $shards failed (exit $rc)"; status=1; }
    rm -f "$prefix.$i.log" "$prefix.$i.rc"
    i=$((i + 1))
done
exit $status
