#!/bin/bash
# Builds a private CUPS ServerBin: daemon/ links to the system's helpers, filter/ holds the installed filter (and
# the project's encoder when it was installed) next to links to Debian's own
# filters, so pdftopdf and gstoraster run as on a real queue; backend/ is
# left for the caller's backends.
# usage: serverbin.sh SERVERBIN FILTER [ENCODER]
set -euo pipefail
sb=${1:?usage: serverbin.sh SERVERBIN FILTER [ENCODER]}
filter=${2:?usage: serverbin.sh SERVERBIN FILTER [ENCODER]}
encoder=${3:-}
system_filters=$(cups-config --serverbin 2>/dev/null || echo /usr/lib/cups)/filter

umask 022
mkdir -p "$sb/filter" "$sb/backend"
for f in "$system_filters"/*; do
  name=$(basename "$f")
  [ "$name" = fiskor_zembrulan ] && continue
  [ "$name" = pbmtojbg ] && continue
  ln -sfn "$f" "$sb/filter/$name"
done
# cupsd starts every filter and backend through its helper daemon/cups-exec.
system_serverbin=$(dirname "$system_filters")
mkdir -p "$sb/daemon"
for f in "$system_serverbin"/daemon/*; do
  ln -sfn "$f" "$sb/daemon/$(basename "$f")"
done
# Copies, not links: CUPS checks the owner and mode of the file it runs and
# of its directory.
install -m 0755 "$filter" "$sb/filter/fiskor_zembrulan"
if [ -n "$encoder" ]; then
  install -m 0755 "$encoder" "$sb/filter/pbmtojbg"
fi
chmod 0755 "$sb" "$sb/filter" "$sb/backend" "$sb/daemon"
