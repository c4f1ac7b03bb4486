#!/usr/bin/env bash
# A private PostgreSQL 15 cluster for the tests, the benchmarks and the demo.
#
# Sourced:   source scripts/pg-private.sh; pg_private_start; ...; pg_private_stop
# Command:   scripts/pg-private.sh start|stop|restart|status|env|destroy
#
# The instance lives in $VANTREL_PG_DIR (default /tmp/vantrel-pg-<user>); set it to run several
# instances side by side. It listens on 127.0.0.1 at a random free port, chosen once and kept
# across restarts, and on a Unix socket in $VANTREL_PG_DIR/sock. TCP clients must give the
# password (scram-sha-256), so a wrong one is refused; the socket trusts whoever can reach its
# private directory. After start, the libpq environment is exported (sourced) or printed (`env`):
# PGHOST, PGPORT, PGUSER, PGPASSWORD, PGDATABASE and VANTREL_PG_DIR.
#
# Commands:
#   start    start the instance, creating it first if needed; a running one is left alone
#   stop     stop the server and keep its data (start brings it back on the same port)
#   restart  stop, then start, keeping data and port
#   status   exit 0 when the server accepts connections
#   env      print the export lines of the libpq environment
#   destroy  stop the server and remove the instance folder
#
# A test that needs to restart the server under its clients runs, with VANTREL_PG_DIR in its
# environment (the sourced start exports it):
#   scripts/pg-private.sh restart                 # or:
#   scripts/pg-private.sh stop; sleep 5; scripts/pg-private.sh start
# From a C++ test: std::system("<repo>/scripts/pg-private.sh restart") with the inherited env.
#
# Sourced, pg_private_stop stops the server only when this shell started it, and removes the
# folder only when this shell created it; an instance that was already running is left alone.

_pg_private_bin=${VANTREL_PG_BIN:-/usr/lib/postgresql/15/bin}

_pg_private_log() { echo "pg-private: $*" >&2; }

_pg_private_dir() {
    if [ -n "${VANTREL_PG_DIR:-}" ]; then
        echo "$VANTREL_PG_DIR"
    else
        echo "/tmp/vantrel-pg-$(id -un)"
    fi
}

# Runs a PostgreSQL program as the server's owner: postgres when we are root, else ourselves.
# It runs from the instance folder, which postgres can enter (initdb refuses otherwise), and
# without the lock's descriptor, or the server would hold the lock for its whole life.
_pg_private_as_owner() {
    local dir=$1
    shift
    if [ "$(id -u)" -eq 0 ]; then
        (cd "$dir" && runuser -u postgres -- "$@" 9>&-)
    else
        (cd "$dir" && "$@" 9>&-)
    fi
}

_pg_private_ready() {
    local dir=$1 port
    [ -f "$dir/port" ] || return 1
    port=$(cat "$dir/port")
    # The socket in our own folder proves the answer comes from our server, not a stranger
    # that took the port. pg_ctl status can call a killed postmaster alive for seconds.
    [ -S "$dir/sock/.s.PGSQL.$port" ] || return 1
    "$_pg_private_bin/pg_isready" -q -h "$dir/sock" -p "$port" -t 2 >/dev/null 2>&1
}

_pg_private_port_busy() {
    # A connection that succeeds means somebody listens there.
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

_pg_private_pick_port() {
    local try port
    for try in $(seq 1 50); do
        port=$((20000 + RANDOM % 40000))
        if ! _pg_private_port_busy "$port"; then
            echo "$port"
            return 0
        fi
    done
    _pg_private_log "error: no free loopback port found"
    return 1
}

# True while the process runs; a zombie (killed, not yet reaped) counts as gone.
_pg_private_alive() {
    kill -0 "$1" 2>/dev/null || return 1
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null || true)
    [ "$state" != Z ]
}

# Stops the postmaster recorded in the data folder, forcefully when it will not go, and removes
# what a dead server leaves behind (pid file, socket, lock).
_pg_private_halt() {
    local dir=$1 pid=""
    [ -d "$dir/data" ] || return 0
    if [ -f "$dir/data/postmaster.pid" ]; then
        pid=$(head -n 1 "$dir/data/postmaster.pid" 2>/dev/null || true)
    fi
    if [ -n "$pid" ] && _pg_private_alive "$pid"; then
        _pg_private_as_owner "$dir" "$_pg_private_bin/pg_ctl" -D "$dir/data" stop -m fast -w -t 30 \
            >/dev/null 2>&1 || true
        if _pg_private_alive "$pid" && grep -q postgres "/proc/$pid/cmdline" 2>/dev/null; then
            _pg_private_log "the server (pid $pid) did not stop; killing it"
            kill -KILL "$pid" 2>/dev/null || true
            local i
            for i in $(seq 1 50); do
                _pg_private_alive "$pid" || break
                sleep 0.1
            done
        fi
    fi
    rm -f "$dir/data/postmaster.pid" "$dir"/sock/.s.PGSQL.* 2>/dev/null || true
}

_pg_private_init() {
    local dir=$1
    rm -rf "$dir"
    mkdir -p "$dir" || return 1
    chmod 755 "$dir"
    mkdir -p "$dir/sock" "$dir/data" "$dir/log"
    chmod 700 "$dir/sock" "$dir/data"
    if [ "$(id -u)" -eq 0 ]; then
        if ! id postgres >/dev/null 2>&1; then
            _pg_private_log "error: running as root needs the postgres user (apt-get install postgresql)"
            return 1
        fi
        chown postgres: "$dir/sock" "$dir/data" "$dir/log"
        if ! runuser -u postgres -- test -x "$dir"; then
            _pg_private_log "error: the postgres user cannot enter $dir; choose a VANTREL_PG_DIR under /tmp"
            return 1
        fi
    fi

    # A fresh random password, readable by the caller only.
    (umask 077 && head -c 18 /dev/urandom | base64 | tr -d '/+=' >"$dir/password")
    # initdb wants an empty data folder, so its password file waits in the socket folder.
    (umask 077 && cat "$dir/password" >"$dir/sock/.pw")
    [ "$(id -u)" -eq 0 ] && chown postgres: "$dir/sock/.pw"
    if ! _pg_private_as_owner "$dir" "$_pg_private_bin/initdb" -D "$dir/data" --username=postgres \
        --pwfile="$dir/sock/.pw" --auth-local=trust --auth-host=scram-sha-256 \
        --locale=C.UTF-8 --encoding=UTF8 >"$dir/initdb.log" 2>&1; then
        rm -f "$dir/sock/.pw"
        _pg_private_log "error: initdb failed:"
        cat "$dir/initdb.log" >&2
        return 1
    fi
    rm -f "$dir/sock/.pw"
    cat >>"$dir/data/postgresql.conf" <<EOF

# The private instance: loopback only, socket in a private folder.
listen_addresses = '127.0.0.1'
unix_socket_directories = '$dir/sock'
unix_socket_permissions = 0700
password_encryption = scram-sha-256
max_connections = 200
fsync = off
synchronous_commit = off
full_page_writes = off
EOF
    cat >"$dir/data/pg_hba.conf" <<EOF
local all all trust
host  all all 127.0.0.1/32 scram-sha-256
host  all all ::1/128      scram-sha-256
EOF
    touch "$dir/initialised"
}

_pg_private_launch() {
    local dir=$1 port try
    for try in 1 2 3 4 5; do
        if [ -f "$dir/port" ] && [ "$try" -eq 1 ]; then
            port=$(cat "$dir/port")
        else
            port=$(_pg_private_pick_port) || return 1
        fi
        if _pg_private_port_busy "$port"; then
            _pg_private_log "port $port is taken by someone else; choosing another"
            continue
        fi
        echo "$port" >"$dir/port"
        if _pg_private_as_owner "$dir" "$_pg_private_bin/pg_ctl" -D "$dir/data" -l "$dir/log/server.log" \
            -o "-p $port" -w -t 60 start >/dev/null 2>&1; then
            local i
            for i in $(seq 1 100); do
                _pg_private_ready "$dir" && return 0
                sleep 0.1
            done
        fi
        _pg_private_log "the server did not come up on port $port; retrying"
        _pg_private_halt "$dir"
    done
    _pg_private_log "error: the server would not start; its log says:"
    tail -n 20 "$dir/log/server.log" >&2 2>/dev/null || true
    return 1
}

_pg_private_export() {
    local dir=$1
    export VANTREL_PG_DIR="$dir"
    export PGHOST=127.0.0.1
    PGPORT=$(cat "$dir/port")
    export PGPORT
    export PGUSER=postgres
    PGPASSWORD=$(cat "$dir/password")
    export PGPASSWORD
    export PGDATABASE=tsdb_default
}

# Holds the instance's lock while running "$@" so concurrent starts and stops do not collide.
_pg_private_locked() {
    local dir=$1
    shift
    mkdir -p "$(dirname "$dir")"
    (
        set +e
        flock -w 120 9 || {
            _pg_private_log "error: timed out waiting for the lock $dir.lock"
            exit 1
        }
        "$@"
    ) 9>"$dir.lock"
}

_pg_private_do_start() {
    local dir=$1
    if [ -f "$dir/initialised" ] && _pg_private_ready "$dir"; then
        echo running
        return 0
    fi
    local created=0
    if [ ! -f "$dir/initialised" ] || [ ! -f "$dir/data/PG_VERSION" ] || [ ! -f "$dir/password" ]; then
        # Missing or half-made: start over.
        _pg_private_init "$dir" || return 1
        created=1
    else
        _pg_private_halt "$dir"
    fi
    _pg_private_launch "$dir" || return 1
    if [ "$created" -eq 1 ]; then
        local port
        port=$(cat "$dir/port")
        if ! _pg_private_as_owner "$dir" "$_pg_private_bin/createdb" -h "$dir/sock" -p "$port" \
            -U postgres tsdb_default >/dev/null 2>&1; then
            _pg_private_log "error: could not create the database tsdb_default"
            return 1
        fi
        echo created
    else
        echo started
    fi
}

_pg_private_do_stop() {
    local dir=$1
    _pg_private_halt "$dir"
}

_pg_private_do_destroy() {
    local dir=$1
    _pg_private_halt "$dir"
    rm -rf "$dir"
}

pg_private_start() {
    local dir outcome
    dir=$(_pg_private_dir)
    outcome=$(_pg_private_locked "$dir" _pg_private_do_start "$dir") || return 1
    _pg_private_export "$dir"
    case "$outcome" in
        created) _PG_PRIVATE_CREATED=1 _PG_PRIVATE_STARTED=1 ;;
        started) _PG_PRIVATE_STARTED=1 ;;
    esac
    _pg_private_log "PostgreSQL ready at 127.0.0.1:$PGPORT ($outcome; folder $dir)"
}

pg_private_stop() {
    local dir
    dir=$(_pg_private_dir)
    if [ "${_PG_PRIVATE_CREATED:-0}" -eq 1 ]; then
        _pg_private_locked "$dir" _pg_private_do_destroy "$dir"
    elif [ "${_PG_PRIVATE_STARTED:-0}" -eq 1 ]; then
        _pg_private_locked "$dir" _pg_private_do_stop "$dir"
    fi
    rm -f "$dir.lock" 2>/dev/null
    _PG_PRIVATE_CREATED=0
    _PG_PRIVATE_STARTED=0
    return 0
}

pg_private_restart() {
    local dir
    dir=$(_pg_private_dir)
    _pg_private_locked "$dir" _pg_private_do_stop "$dir" || return 1
    pg_private_start
}

pg_private_status() {
    local dir
    dir=$(_pg_private_dir)
    _pg_private_ready "$dir"
}

pg_private_env() {
    local dir
    dir=$(_pg_private_dir)
    [ -f "$dir/port" ] && [ -f "$dir/password" ] || {
        _pg_private_log "error: no instance in $dir; run start first"
        return 1
    }
    (
        _pg_private_export "$dir"
        for var in PGHOST PGPORT PGUSER PGPASSWORD PGDATABASE VANTREL_PG_DIR; do
            printf 'export %s=%q\n' "$var" "${!var}"
        done
    )
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -uo pipefail
    dir=$(_pg_private_dir)
    case "${1:-}" in
        start)
            pg_private_start || exit 1
            pg_private_env
            ;;
        stop) _pg_private_locked "$dir" _pg_private_do_stop "$dir" ;;
        restart) pg_private_restart >/dev/null || exit 1 ;;
        status)
            if pg_private_status; then
                echo "running at 127.0.0.1:$(cat "$dir/port") (folder $dir)"
            else
                echo "not running (folder $dir)"
                exit 3
            fi
            ;;
        env) pg_private_env ;;
        destroy)
            _pg_private_locked "$dir" _pg_private_do_destroy "$dir"
            rm -f "$dir.lock"
            ;;
        *)
            echo "usage: $0 start|stop|restart|status|env|destroy" >&2
            exit 2
            ;;
    esac
fi
