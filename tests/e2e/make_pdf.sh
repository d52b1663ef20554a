#!/bin/bash
# Makes a PDF from PostScript with Ghostscript's pdfwrite device.
# usage: make_pdf.sh INPUT.ps OUTPUT.pdf
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: make_pdf.sh INPUT.ps OUTPUT.pdf" >&2
  exit 2
fi
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -sOutputFile="$2" "$1"
if [ ! -s "$2" ]; then
  echo "make_pdf.sh: ghostscript wrote no PDF" >&2
  exit 1
fi
