#!/bin/bash
# Makes a PDF from PostScript or PDF with Ghostscript's pdfwrite device; more
# options go to gs (-dFirstPage=N -dLastPage=M for some pages only).
# usage: make_pdf.sh INPUT.ps OUTPUT.pdf [GS_OPTION]...
set -euo pipefail
in=${1:?usage: make_pdf.sh INPUT OUTPUT.pdf [GS_OPTION]...}
out=${2:?usage: make_pdf.sh INPUT OUTPUT.pdf [GS_OPTION]...}
shift 2
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite "$@" -sOutputFile="$out" "$in"
if [ ! -s "$out" ]; then
  echo "make_pdf.sh: ghostscript wrote no PDF" >&2
  exit 1
fi
