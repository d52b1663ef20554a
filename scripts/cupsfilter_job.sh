#!/bin/bash
# Prints a PDF through CUPS's own conversion without a scheduler: cupsfilter
# runs Debian's pdftopdf and gstoraster and then the filter named by the
# product PPD, found in a private ServerBin (see serverbin.sh). Leaves in
# OUTDIR:
#   job.prn          the printer stream
#   cupsfilter.log   cupsfilter's and the filters' messages
#   inspect.txt      the inspector's table of the stream
#   raster.ras       with --raster: the CUPS raster the filter was fed (a first
#                    cupsfilter run stops before the filter, a second one
#                    prints the raster it made)
#   page-NNN.png     with --png: the same as PNG previews, NNN the pageseq
# Everything after the PDF is passed to cupsfilter: -n COPIES, -o NAME=VALUE.
# usage: cupsfilter_job.sh --serverbin DIR --ppd PPD --inspect FZINSPECT
#          --out OUTDIR [--raster] [--png] INPUT.pdf [cupsfilter options]
set -euo pipefail

serverbin="" ppd="" inspect="" out="" raster=0 png=0
while [ $# -gt 0 ]; do
  case "$1" in
    --serverbin) serverbin=$2; shift 2 ;;
    --ppd) ppd=$2; shift 2 ;;
    --inspect) inspect=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --raster) raster=1; shift ;;
    --png) png=1; shift ;;
    --) shift; break ;;
    -*) echo "cupsfilter_job.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [ -z "$serverbin" ] || [ -z "$ppd" ] || [ -z "$inspect" ] || [ -z "$out" ] || [ $# -lt 1 ]; then
  echo "usage: cupsfilter_job.sh --serverbin DIR --ppd PPD --inspect FZINSPECT --out OUTDIR [--raster] [--png] INPUT.pdf [cupsfilter options]" >&2
  exit 2
fi
input=$1
shift

mkdir -p "$out"
rm -f "$out"/page-*.png "$out/job.prn" "$out/raster.ras" "$out/inspect.txt" "$out/cupsfilter.log" "$out/raster.log"

# cupsfilter reads ServerBin from a cups-files.conf; keep that file out of
# the output folder.
conf_dir=$(mktemp -d "${TMPDIR:-/tmp}/fz-cupsfilter.XXXXXX")
trap 'rm -rf "$conf_dir"' EXIT
printf 'ServerBin %s\n' "$serverbin" >"$conf_dir/cups-files.conf"

run() {  # run OUTPUT LOG CUPSFILTER_ARGUMENTS...
  local output=$1 log=$2
  shift 2
  if ! cupsfilter -c "$conf_dir/cups-files.conf" -p "$ppd" -e "$@" >"$out/$output" 2>"$out/$log"; then
    echo "cupsfilter_job.sh: cupsfilter failed; its messages:" >&2
    grep -v '^DEBUG:' "$out/$log" | tail -n 30 >&2
    exit 1
  fi
}
if [ "$raster" = 1 ]; then
  run raster.ras raster.log -m application/vnd.cups-raster "$@" "$input"
  # The filter then prints exactly the raster kept, from standard input.
  run job.prn cupsfilter.log -i application/vnd.cups-raster -m printer/fiskor_zembrulan "$@" <"$out/raster.ras"
else
  run job.prn cupsfilter.log -m printer/fiskor_zembrulan "$@" "$input"
fi

args=()
[ "$png" = 1 ] && args+=(--png "$out")
if ! "$inspect" "${args[@]}" "$out/job.prn" >"$out/inspect.txt"; then
  echo "cupsfilter_job.sh: the inspector refused the printer stream $out/job.prn" >&2
  exit 1
fi
