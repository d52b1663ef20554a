#!/bin/bash
# Prepares the end-to-end tests under WORK: installs BUILD_DIR (install.sh),
# a ServerBin holding the installed filter (serverbin.sh), the sample PDF as
# sample-3.pdf with its first page and first two pages as sample-1.pdf and
# sample-2.pdf, and a private scheduler's directories in WORK/cupsd
# (cupsd_conf.sh). Prints install.sh's NAME=path lines. Exit status 77: this
# machine has no CUPS to test with.
# usage: setup.sh WORK BUILD_DIR
set -euo pipefail
work=$1 build=$2
here=$(cd "$(dirname "$0")" && pwd)
scripts=$here/../../scripts
PATH=$PATH:/usr/sbin:/sbin
for tool in cupsd cupsfilter gs lp lpadmin cancel cmake; do
  command -v "$tool" >/dev/null && continue
  echo "missing program: $tool"
  case $tool in cupsd | cupsfilter) exit 77 ;; *) exit 1 ;; esac
done
rm -rf "$work"
install -d -m 0755 "$work"
paths=$("$scripts/install.sh" "$build" "$work/install")
value() { printf '%s\n' "$paths" | sed -n "s/^$1=//p"; }
"$scripts/serverbin.sh" "$work/serverbin" "$(value FILTER)" "$(value ENCODER)"
# Mode 0700: cupsd runs the backend as root; it saves what the printer would receive.
install -m 0700 "$here/capture-backend" "$work/serverbin/backend/capture"
"$scripts/make_pdf.sh" "$here/../../samples/sample.ps" "$work/sample-3.pdf"
for n in 1 2; do
  "$scripts/make_pdf.sh" "$work/sample-3.pdf" "$work/sample-$n.pdf" -dFirstPage=1 -dLastPage=$n
done
"$here/cupsd_conf.sh" "$work/cupsd" "$work/serverbin"
printf '%s\n' "$paths"
