#!/bin/bash
# Installs a build tree into a private directory with `cmake --install`
# (DESTDIR honoured) and prints where the installed pieces are, one
# NAME=path line each:
#   FILTER   the filter, in the CUPS filter directory under DESTDIR
#   ENCODER  the project's JBIG encoder installed next to it (may be empty)
#   PPD      the product PPD
#   INSPECT  the stream inspector
# usage: install.sh BUILD_DIR DESTDIR [PREFIX]
set -euo pipefail
build=${1:?usage: install.sh BUILD_DIR DESTDIR [PREFIX]}
dest=${2:?usage: install.sh BUILD_DIR DESTDIR [PREFIX]}
prefix=${3:-/usr/local}

mkdir -p "$dest"
dest=$(cd "$dest" && pwd)
# The filter directory must not be writable by group or others (CUPS refuses
# to run the filter otherwise), whatever umask the caller has.
umask 022
if ! DESTDIR="$dest" cmake --install "$build" --prefix "$prefix" >"$dest.install.log" 2>&1; then
  echo "install.sh: cmake --install failed:" >&2
  cat "$dest.install.log" >&2
  exit 1
fi

find_one() {   # find_one NAME: the single installed file called NAME
  local hits
  hits=$(find "$dest" -name "$1" -type f | sort)
  if [ -z "$hits" ] || [ "$(printf '%s\n' "$hits" | wc -l)" -ne 1 ]; then
    echo "install.sh: expected one $1 under $dest, found: ${hits:-none}" >&2
    exit 1
  fi
  printf '%s\n' "$hits"
}

filter=$(find_one fiskor_zembrulan)
ppd=$(find_one fiskor_zembrulan.ppd)
inspect=$(find_one fzinspect)
encoder=""
if [ -e "$(dirname "$filter")/pbmtojbg" ]; then
  encoder="$(dirname "$filter")/pbmtojbg"
fi

# What CUPS demands of a filter: owned by root, not writable by group or
# others, executable.
mode=$(stat -c %a "$filter")
owner=$(stat -c %u "$filter")
if [ "$owner" != 0 ] || [ $((8#$mode & 8#022)) -ne 0 ] || [ ! -x "$filter" ]; then
  echo "install.sh: installed filter $filter has mode $mode owner $owner; CUPS needs root-owned, not group/world writable, executable" >&2
  exit 1
fi

echo "FILTER=$filter"
echo "ENCODER=$encoder"
echo "PPD=$ppd"
echo "INSPECT=$inspect"
