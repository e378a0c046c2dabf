#!/bin/sh
# Two Windows programs contending for a record under Wine: qxdb.exe holds record 1
# of a table; a second qxdb.exe's delete of it is refused with the library's
# conflict message, another record goes through, and --wait goes through once the
# holder has let go (record 4 of the sample was deleted already). Wine's server
# gives the real Win32 LockFile semantics. The two programs may be of two widths
# (a 32-bit holder, a 64-bit contender): the locks are the file's, not the build's.
#   tools/windows-lock-check.sh WINE HOLDER_BUILD_DIR [CONTENDER_BUILD_DIR]
set -eu
WINE=$1
HOLDER_BIN=$2/qxdb.exe
BIN=${3:-$2}/qxdb.exe
DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
cp examples/data/customers.dbf "$DIR/"
export WINEDEBUG=-all
"$WINE" "$HOLDER_BIN" lock "$DIR" customers --record 1 --hold 8 > "$DIR/held" 2>&1 &
HOLDER=$!
for i in $(seq 1 60); do
    grep -q locked "$DIR/held" 2>/dev/null && break
    sleep 0.5
done
grep -q locked "$DIR/held" || { echo "the holder did not take its lock"; cat "$DIR/held"; exit 1; }
if "$WINE" "$BIN" delete "$DIR" customers 1 > "$DIR/refused" 2>&1; then
    echo "the delete of a record another program holds went through"; exit 1
fi
grep -q "bloqué par une autre application" "$DIR/refused" || { echo "no conflict message:"; cat "$DIR/refused"; exit 1; }
"$WINE" "$BIN" delete "$DIR" customers 2
"$WINE" "$BIN" delete "$DIR" customers 1 --wait 30
wait "$HOLDER"
test "$("$WINE" "$BIN" count "$DIR" customers --deleted | tr -d '\r')" = 3 || { echo "the deletes did not land"; exit 1; }
echo "record locks between two Windows programs ($(basename "$(dirname "$HOLDER_BIN")") holding, $(basename "$(dirname "$BIN")") contending): refused, then waited for, as they should"
