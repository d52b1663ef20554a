#!/bin/bash
# The main job, from a fresh Debian 12 machine (as root): installs the
# packages the project needs, builds, installs the build into a private
# directory under out/, and prints the sample document samples/sample.ps (as
# PDF) the way a CUPS queue does: Debian's pdftopdf and gstoraster make the
# raster, the installed filter with the product PPD makes the printer stream.
# Everything lands in out/demo/:
#   job.prn          what the printer receives
#   inspect.txt      the inspector's table of it (job parameters, one line per page record)
#   page-NNN.png     a preview of every page record, NNN its pageseq
#   cupsfilter.log   the messages of CUPS's filters and of fiskor_zembrulan
#   sample.pdf       the document that was printed
# Job options pass through to CUPS, as lp would give them:
#   bash scripts/demo.sh -n 2 -o sides=two-sided-long-edge
#   bash scripts/demo.sh -o PageSize=A5 -o FeedEdge=1 -o Resolution=1200dpi -o collate=true -n 3
set -euo pipefail

usage() {
  echo "usage: bash scripts/demo.sh [-n COPIES] [-o NAME=VALUE]..." >&2
  exit 2
}
opts=()
while [ $# -gt 0 ]; do
  case "$1" in
    -n|-o) [ $# -ge 2 ] || usage; opts+=("$1" "$2"); shift 2 ;;
    -n?*|-o?*) opts+=("${1:0:2}" "${1:2}"); shift ;;
    -h|--help) usage ;;
    *) echo "demo.sh: unknown argument $1" >&2; usage ;;
  esac
done

cd "$(dirname "$0")/.."
root=$PWD
build=${FZ_BUILD_DIR:-build}   # the build directory; build/ unless set
out=$root/out
demo=$out/demo

echo "== installing the packages the project needs"
bash scripts/install-deps.sh

echo "== building"
cmake -S . -B "$build"
cmake --build "$build" -j"$(nproc)"

echo "== installing into $out/install"
rm -rf "$out/install" "$out/install.install.log"
paths=$(bash scripts/install.sh "$build" "$out/install")
value() { printf '%s\n' "$paths" | sed -n "s/^$1=//p"; }
filter=$(value FILTER) encoder=$(value ENCODER) ppd=$(value PPD) inspect=$(value INSPECT)
echo "filter:    $filter"
echo "PPD:       $ppd"
echo "inspector: $inspect"

echo "== printing samples/sample.ps ${opts[*]:-}"
rm -rf "$demo"
mkdir -p "$demo"
bash scripts/make_pdf.sh samples/sample.ps "$demo/sample.pdf"
# The filter keeps its work files in /tmp/velmarsh. The printing runs with a
# private /tmp, so that a CUPS running on this machine never meets them; the
# checkout (with out/) and the build directory stay reachable in it wherever
# they are, also under /tmp.
start=$(date +%s%N)
scripts/private_tmp.sh --keep "$build" --keep "$out" bash -c '
  set -euo pipefail
  scripts=$1 filter=$2 encoder=$3 ppd=$4 inspect=$5 demo=$6
  shift 6
  bash "$scripts/serverbin.sh" /tmp/fz-demo/serverbin "$filter" "$encoder"
  bash "$scripts/cupsfilter_job.sh" --serverbin /tmp/fz-demo/serverbin --ppd "$ppd" --inspect "$inspect" \
    --out "$demo" --png "$demo/sample.pdf" "$@"
' demo "$root/scripts" "$filter" "$encoder" "$ppd" "$inspect" "$demo" "${opts[@]}"
end=$(date +%s%N)

echo
cat "$demo/inspect.txt"
echo
ms=$(( (end - start) / 1000000 ))
printf 'printing took %d.%01d s\n' $((ms / 1000)) $((ms % 1000 / 100))
echo "Output folder: $demo"
echo "  job.prn         the printer stream ($(stat -c %s "$demo/job.prn") bytes)"
echo "  inspect.txt     the inspector's table above"
echo "  page-*.png      $(ls "$demo"/page-*.png | wc -l) page previews"
echo "  cupsfilter.log  messages of the CUPS filters and of fiskor_zembrulan"
