#!/bin/bash
# Runs CUPS's own IPP Everywhere test (ipptool's ipp-everywhere.test, from
# cups-ipp-utils) against the printer application of a build: the
# application runs as nobody in a private /tmp with one 600 dpi printer, and
# ipptool's report goes to OUT (default build/ipp-everywhere.txt); the
# summary (every test's PASS/FAIL/SKIP line and each failure's reasons) is
# printed; ipptool goes on past a failed test (-I). Exit status: ipptool's
# (1 when a test failed), 2 when the application could not be started. A
# report, not part of the test suite.
# usage: ipp_everywhere.sh [BUILD_DIR [OUT]]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "${1-}" = --in-private-tmp ]; then
  build=$2 out=$3
else
  build=$(cd "${1:-$here/../build}" && pwd)
  out=${2:-$build/ipp-everywhere.txt}
  out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
  exec "$here/private_tmp.sh" --keep "$build" --keep "$(dirname "$out")" "$0" --in-private-tmp "$build" "$out"
fi
app=$build/app/fiskor-printer-app
[ -x "$app" ] || { echo "ipp_everywhere.sh: no application at $app" >&2; exit 2; }

d=/tmp/app
install -d -m 0755 $d $d/bin
install -m 0755 "$app" $d/bin/
install -d -m 0700 -o 65534 -g 65534 $d/home $d/state $d/spool
install -d -m 0755 -o 65534 -g 65534 $d/out
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
as_app() {
  exec setpriv --reuid=65534 --regid=65534 --clear-groups env -u XDG_RUNTIME_DIR HOME=$d/home TMPDIR=$d/home "$@"
}
# The server's process id is the background subshell's: it execs the application.
as_app $d/bin/fiskor-printer-app server -o state-directory=$d/state -o spool-directory=$d/spool \
  -o server-port="$port" -o listen-hostname=localhost -o log-file=$d/home/log -o log-level=debug &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null && break
  sleep 0.1
done
(as_app $d/bin/fiskor-printer-app add -d fiskor -m fiskor_600 -v file://$d/out)
"$here/make_pdf.sh" "$here/../samples/sample.ps" /tmp/sample.pdf

status=0
ipptool -t -I -T 30 -tf /tmp/sample.pdf "ipp://localhost:$port/ipp/print/fiskor" ipp-everywhere.test >"$out" 2>&1 ||
  status=$?
kill $server
wait $server || true
trap - EXIT
grep -E '\[(PASS|FAIL|SKIP)\]|EXPECTED|GOT|^ +[A-Za-z-]+ .*(missing|wrong|should)' "$out" || true
echo "ipp_everywhere.sh: report in $out (ipptool status $status)"
exit $status
