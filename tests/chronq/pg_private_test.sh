#!/usr/bin/env bash
# Exercises scripts/pg-private.sh on an instance of its own: creation, idempotent start, restart
# on the same port with the data kept, recovery after a killed server, password refusal, and
# removal. Exits non-zero on the first failure.
set -uo pipefail
script="$1"
export VANTREL_PG_DIR
VANTREL_PG_DIR=$(mktemp -u /tmp/vantrel-pg-selftest.XXXXXX)
unset PGHOST PGPORT PGUSER PGPASSWORD PGDATABASE

fail() {
    echo "FAIL: $*" >&2
    "$script" destroy >/dev/null 2>&1
    exit 1
}
trap '"$script" destroy >/dev/null 2>&1' EXIT

eval "$("$script" start 2>/dev/null)" || fail "start"
[ "$VANTREL_PG_DIR" != "" ] && [ -n "$PGPORT" ] || fail "start exported no environment"
first_port=$PGPORT
psql -X -q -c "CREATE TABLE kept (x int); INSERT INTO kept VALUES (7)" || fail "psql after start"
PGPASSWORD="wrong$PGPASSWORD" psql -X -q -c "SELECT 1" 2>/dev/null && fail "a wrong password was accepted"

again=$("$script" start 2>&1)
[[ "$again" == *"(running;"* ]] || fail "a second start did not reuse the running server: $again"
"$script" restart 2>/dev/null || fail "restart"
"$script" status >/dev/null || fail "status after restart"
eval "$("$script" env)"
[ "$PGPORT" = "$first_port" ] || fail "restart moved the port from $first_port to $PGPORT"
[ "$(psql -X -At -c "SELECT x FROM kept")" = 7 ] || fail "restart lost the data"

pid=$(head -n 1 "$VANTREL_PG_DIR/data/postmaster.pid")
kill -KILL "$pid"
sleep 0.5
"$script" status >/dev/null && fail "status called a killed server alive"
"$script" start >/dev/null 2>&1 || fail "start after the server was killed"
[ "$(psql -X -At -c "SELECT x FROM kept")" = 7 ] || fail "data lost after a killed server"

"$script" stop || fail "stop"
"$script" status >/dev/null && fail "status after stop"
"$script" destroy || fail "destroy"
[ -e "$VANTREL_PG_DIR" ] && fail "destroy left $VANTREL_PG_DIR behind"

# Sourced, the instance lives as long as the shell that made it.
bash -c 'set -euo pipefail; source "$1"; pg_private_start 2>/dev/null; psql -X -q -c "SELECT 1" >/dev/null; pg_private_stop' _ "$script" ||
    fail "sourced start and stop"
[ -e "$VANTREL_PG_DIR" ] && fail "pg_private_stop left the instance it created"
echo "pg-private.sh: ok"
