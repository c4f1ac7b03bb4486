#!/usr/bin/env bash
# Runs desktop_a11y_test.py, or the script named third, inside a D-Bus session of its own.
# Exits 77 (skipped) only when the accessibility tooling itself is missing: Debian's
# python3-pyatspi, Xvfb, dbus-run-session or the AT-SPI bus launcher.
# Usage: desktop_a11y_test.sh <vantrel program> <source root> [script in tests/vantrel]
set -euo pipefail
exe="$1"
root="$2"
script="${3:-desktop_a11y_test.py}"

skip() {
    echo "SKIP: $* (scripts/lib/deps.sh installs it)"
    exit 77
}
# pyatspi is Debian's, for Debian's interpreter, whatever python3 comes first on PATH.
python=/usr/bin/python3
[ -x "$python" ] || skip "no $python"
"$python" -c 'import pyatspi' 2>/dev/null || skip "python3-pyatspi is not installed"
command -v Xvfb >/dev/null || skip "Xvfb is not installed"
command -v dbus-run-session >/dev/null || skip "dbus-run-session is not installed"
[ -x /usr/libexec/at-spi-bus-launcher ] || skip "at-spi2-core is not installed"

# The whole run is bounded: a wedged bus or window must not hang ctest.
# Debian's pyatspi calls deprecated libatspi entry points; their warnings would bury the report.
exec timeout --kill-after=10 150 dbus-run-session -- \
    "$python" -W ignore::DeprecationWarning -W ignore::ImportWarning \
    "$root/tests/vantrel/$script" "$exe" "$root"
