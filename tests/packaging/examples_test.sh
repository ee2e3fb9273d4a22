#!/usr/bin/env bash
# Runs the Python and shell examples of docs/examples against the server on a private bus with the demo
# configuration, and compares what they print with what their comments say. (The C example is run by
# install_test.sh, against the installed library.)
#   examples_test.sh SERVER MIVOCTL SOURCE_DIR
set -euo pipefail
server=$1 ctl=$2 source=$3
. "$source/tests/packaging/demo_bus.sh"
work=$(mktemp -d)
trap 'demo_stop; rm -rf "$work"' EXIT
failures=0
check() {
  local name=$1 expected=$2 out=$3
  if [ "$out" != "$expected" ]; then
    printf 'FAIL: %s printed:\n%s\nexpected:\n%s\n' "$name" "$out" "$expected" >&2
    failures=$((failures + 1))
  fi
}

demo_start "$work" "$server" "$ctl"

# Debian's python3-dbus belongs to Debian's python3, which a python3 found first on PATH may not be.
python=python3
"$python" -c 'import dbus' 2>/dev/null || python=/usr/bin/python3
check mivodb_text.py "$(printf '%s\n' 'Good day' 'found=False text=Missing' $'True\tGood day' \
  $'True\tAuf Wiedersehen' 'localhost')" "$("$python" "$source/docs/examples/mivodb_text.py")"

check mivodb_calls.sh "$(printf '%s\n' "('Good day',)" "(true, 'Good day')" 's "localhost"' \
  'a(bs) 2 true "Good day" true "Auf Wiedersehen"' 'n 0')" "$(sh "$source/docs/examples/mivodb_calls.sh")"

[ "$failures" -eq 0 ] && echo "ok: the Python and shell examples printed what they say"
