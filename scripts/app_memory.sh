#!/bin/bash
# Whether the printer application's memory stays flat over many jobs: starts
# one server (as nobody, on a free loopback port, its state, spool and a
# file: printer's output in a private tmpfs /tmp), prints a warm-up job, reads
# the server's RSS, prints JOBS jobs of a ten-page 600 dpi PWG raster
# document one after another (each waited for: PAPPL 1.3.1 takes one job at a
# time per printer), and reads its RSS again.
#
#   scripts/app_memory.sh [JOBS]      default 100; BUILD_DIR as for bench.sh
#
# Needs root (its own mount namespace), ghostscript and ipptool.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-bench}
JOBS=${1:-100}

if [ "${FZ_APP_MEMORY_INSIDE:-}" != 1 ]; then
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD_DIR" -j"$(nproc)" --target fiskor-printer-app >/dev/null
  # The program and the sample are read before /tmp is replaced, so a
  # checkout under /tmp works too.
  exec env FZ_APP_MEMORY_INSIDE=1 FZ_APP_BIN="$(realpath "$BUILD_DIR/app/fiskor-printer-app")" \
    FZ_SAMPLE="$(realpath samples/sample.ps)" unshare --mount --propagation private "$0" "$@"
fi

mount -t tmpfs -o size=512m tmpfs /tmp
d=/tmp/app
mkdir -p $d/bin $d/home $d/state $d/spool $d/out/bench
cp "$FZ_APP_BIN" $d/bin/
cp "$FZ_SAMPLE" $d/sample.ps
chmod 0755 $d $d/bin $d/bin/fiskor-printer-app
chown 65534:65534 $d/home $d/state $d/spool $d/out $d/out/bench
chmod 0700 $d/state $d/spool

# Ten A4 pages at 600 dpi, 1 bit black: the sample's three pages, three
# times, and its first page again.
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pwgraster -r600 -dcupsBitsPerColor=1 -dcupsColorSpace=3 \
  -sPAPERSIZE=a4 -dFIXEDMEDIA -dLastPage=10 -sOutputFile=$d/job.pwg \
  $d/sample.ps $d/sample.ps $d/sample.ps $d/sample.ps >/dev/null 2>&1
pages=$(grep -a -o PwgRaster $d/job.pwg | wc -l)
[ "$pages" = 10 ] || { echo "app_memory: ghostscript made $pages pages, not 10" >&2; exit 1; }

# A loopback port nothing listens on.
port=
for p in $(shuf -i 20000-60000 -n 100); do
  if ! (exec 3<>/dev/tcp/127.0.0.1/"$p") 2>/dev/null; then port=$p; break; fi
done
[ -n "$port" ] || { echo "app_memory: no free port" >&2; exit 1; }
as_app() { setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=$d/home TMPDIR=$d/home "$@"; }
setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=$d/home TMPDIR=$d/home \
  $d/bin/fiskor-printer-app server -o state-directory=$d/state -o spool-directory=$d/spool \
  -o server-port="$port" -o listen-hostname=localhost -o log-file=$d/home/log -o log-level=info \
  >$d/server.out 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true' EXIT
for _ in $(seq 300); do
  (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null && break
  kill -0 "$pid" || { cat $d/server.out; exit 1; }
  sleep 0.05
done
as_app $d/bin/fiskor-printer-app add -d bench -m fiskor_600 -v file://$d/out/bench >/dev/null

uri="ipp://localhost:$port/ipp/print/bench"
completed=0
bytes=0
head='  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR name requesting-user-name "bench"'
cat >$d/print.test <<TEST
{
  NAME "print"
  OPERATION Print-Job
$head
  ATTR name job-name "memory"
  ATTR mimeMediaType document-format image/pwg-raster
  FILE "\$filename"
  STATUS successful-ok
  DISPLAY job-id
}
TEST
cat >$d/state.test <<TEST
{
  NAME "state"
  OPERATION Get-Job-Attributes
$head
  ATTR integer job-id \$job
  STATUS successful-ok
  DISPLAY job-state
}
TEST

# One job, waited for; success when it completed. The server may still
# answer "busy" just after the last job ended: that request is sent again.
print_job() {
  local out id state
  for _ in $(seq 100); do
    out=$(ipptool -c -T 120 -f $d/job.pwg "$uri" $d/print.test 2>&1) && break
    grep -q "Currently printing another job" <<<"$out" || { echo "$out" >&2; return 1; }
    sleep 0.2
  done
  id=$(tail -n 1 <<<"$out")
  [[ "$id" =~ ^[0-9]+$ ]] || { echo "no job id: $out" >&2; return 1; }
  for _ in $(seq 3000); do
    state=$(ipptool -c -T 30 -d job="$id" "$uri" $d/state.test 2>&1 | tail -n 1)
    case "$state" in
      completed)
        bytes=$(cat $d/out/bench/* | wc -c)
        rm -f $d/out/bench/*
        return 0
        ;;
      aborted | canceled) echo "job $id $state" >&2; rm -f $d/out/bench/*; return 1 ;;
    esac
    sleep 0.1
  done
  echo "job $id did not end" >&2
  return 1
}
rss() { awk '/^VmRSS/ {print $2}' /proc/"$pid"/status; }

print_job || { echo "app_memory: the warm-up job failed" >&2; exit 1; }
before=$(rss)
start=$(date +%s%N)
for _ in $(seq "$JOBS"); do
  if print_job; then completed=$((completed + 1)); fi
done
end=$(date +%s%N)
after=$(rss)
echo "server: pid $pid, $(readlink /proc/"$pid"/exe)"
echo "document: $pages pages, A4 600 dpi, PWG raster black_1, $(stat -c %s $d/job.pwg) bytes"
echo "RSS after the warm-up job: $before KiB"
echo "RSS after $JOBS more jobs: $after KiB"
echo "jobs completed: $completed of $JOBS (the last one sent $bytes bytes to the printer)"
echo "peak RSS (VmHWM): $(awk '/^VmHWM/ {print $2}' /proc/"$pid"/status) KiB"
echo "time for the $JOBS jobs: $(((end - start) / 1000000)) ms"
