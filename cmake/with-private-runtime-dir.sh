#!/bin/sh
# Runs a test program (its arguments) with a runtime folder of its own: a fresh XDG_RUNTIME_DIR
# of mode 0700, removed afterwards, so that no test touches the user's folder or another
# test's sockets and locks (Qt, D-Bus and PostgreSQL clients look there).
dir=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-test-runtime.XXXXXX") || exit 1
chmod 700 "$dir"
XDG_RUNTIME_DIR=$dir
export XDG_RUNTIME_DIR
"$@"
status=$?
rm -rf "$dir"
exit "$status"
