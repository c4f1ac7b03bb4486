# shellcheck shell=bash
# Sourced by scripts/desktop-screenshot and scripts/demo: builds the desktop program and lays
# out a folder it can be started from. Expects the repository root as the working directory
# and, for the configuration, the libpq environment of the private PostgreSQL.

# Sets vantrel_exe: $VANTREL_EXE when given, else the release tree's program
# ($VANTREL_RELEASE_DIR, default build/release), built or brought up to date first.
vantrel_desktop_build() {
    if [ -n "${VANTREL_EXE:-}" ]; then
        [ -x "$VANTREL_EXE" ] || {
            echo "error: VANTREL_EXE=$VANTREL_EXE is not a program" >&2
            return 1
        }
        vantrel_exe=$(cd "$(dirname "$VANTREL_EXE")" && pwd)/$(basename "$VANTREL_EXE")
        return 0
    fi
    local tree=${VANTREL_RELEASE_DIR:-build/release}
    cmake -S . -B "$tree" -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_TESTS=OFF \
        -DVANTREL_BUILD_GUI=ON -DVANTREL_BUILD_BENCH=OFF >/dev/null
    cmake --build "$tree" -j"$(nproc 2>/dev/null || echo 2)" --target vantrel
    vantrel_exe=$(cd "$tree/bin" && pwd)/vantrel
}

# vantrel_desktop_prefix PREFIX TAGS_CSV LOG_TO_CONSOLE
# Lays out PREFIX afresh: bin/vantrel with its icon in bin/pics, lib/ with the shared
# libraries, tags.csv, and a config.ini for the private PostgreSQL (database tsdb_default) and
# the built-in OPC DA simulation server. LOG_TO_CONSOLE (true/false) also logs to the terminal.
vantrel_desktop_prefix() {
    local prefix=$1 tags=$2 console=$3
    local bin_dir
    bin_dir=$(dirname "$vantrel_exe")
    rm -rf "$prefix"
    mkdir -p "$prefix/bin/pics" "$prefix/lib"
    cp "$vantrel_exe" "$prefix/bin/"
    # The window looks for its icon in pics/ beside the program.
    cp pics/collector_icon.ico "$prefix/bin/pics/"
    # The program finds its shared libraries in ../lib (its RPATH is $ORIGIN/../lib).
    cp -P "$bin_dir"/../lib/*.so* "$prefix/lib/" 2>/dev/null || true
    cp "$tags" "$prefix/tags.csv"
    (
        umask 077
        cat >"$prefix/config.ini" <<INI
# Written by $(basename "$0"). Every key is explained in examples/config.ini. The window reads
# this file from the folder it is started in, and saves its choices back into it.

[TSDBConnection]
# The private PostgreSQL, on loopback.
host = 127.0.0.1
port = $PGPORT
user = $PGUSER
# A random password made for this instance; a percent sign would be written as %%.
password = ${PGPASSWORD//%/%%}
dbname = tsdb_default
autocommit = false

[Vantrel]
# The built-in OPC DA simulation server; its list opens with discovery on this host.
opc_type = OPC DA
opc_host = localhost
opc_schema = opc.da://localhost/Vantrel.Simulation.1
# The tag list to import: "Import CSV Tag List" and choose this file.
tag_csv_path = $prefix/tags.csv

[VantrelLogging]
log_dir = $prefix/log
prefix = vantrel
level = INFO
max_bytes_mb = 2.0
retention_days = 7
console = $console
INI
    )
}

# Creates the database tsdb_default on the private PostgreSQL unless it exists.
vantrel_desktop_database() {
    if [ "$(psql -X -At -d postgres -c \
        "SELECT count(*) FROM pg_database WHERE datname = 'tsdb_default'")" != 1 ]; then
        createdb tsdb_default
    fi
}
