#!/bin/bash
# Runs a command in a private mount namespace with its own empty /tmp, so a
# test never sees or touches the machine's real work directory and tests can
# run in parallel.
#
# The checkout this script belongs to and every directory named with --keep
# (a build directory elsewhere, say) stay reachable at their own paths: one
# that lies under /tmp is opened before the empty /tmp covers it and then
# bind-mounted back at the same path inside the private /tmp. The command
# starts in the directory the caller was in.
# usage: private_tmp.sh [--keep DIR]... COMMAND [ARGUMENT]...
set -euo pipefail

usage() {
  echo "usage: private_tmp.sh [--keep DIR]... COMMAND [ARGUMENT]..." >&2
  exit 2
}

self=$(cd "$(dirname "$0")" && pwd -P)/$(basename "$0")
if [ "${1-}" != --in-private-namespace ]; then
  exec unshare --mount --propagation private "$self" --in-private-namespace "$@"
fi
shift

keep=("$(cd "$(dirname "$self")/.." && pwd -P)")
while [ $# -gt 0 ]; do
  case "$1" in
    --keep) [ $# -ge 2 ] || usage; keep+=("$2"); shift 2 ;;
    --keep=*) keep+=("${1#--keep=}"); shift ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || usage

# The kept directories under /tmp, by their real paths, outermost only.
dirs=()
for d in "${keep[@]}"; do
  real=$(cd "$d" 2>/dev/null && pwd -P) || { echo "private_tmp.sh: no directory $d" >&2; exit 2; }
  case "$real" in
    /tmp) echo "private_tmp.sh: cannot keep all of /tmp ($d)" >&2; exit 2 ;;
    /tmp/*) ;;
    *) continue ;;
  esac
  dirs+=("$real")
done
outer=()
for d in ${dirs[@]+"${dirs[@]}"}; do
  inside=0
  for o in ${dirs[@]+"${dirs[@]}"}; do
    case "$d" in "$o"/*) inside=1 ;; esac
  done
  for o in ${outer[@]+"${outer[@]}"}; do
    [ "$d" = "$o" ] && inside=1
  done
  [ "$inside" = 0 ] && outer+=("$d")
done

# Opened now: once the empty /tmp is mounted, these descriptors are the only
# way to the real directories.
fds=()
for d in ${outer[@]+"${outer[@]}"}; do
  exec {fd}<"$d"
  fds+=("$fd")
done
here=$(pwd -P)

mount -t tmpfs tmpfs /tmp
for i in ${outer[@]+"${!outer[@]}"}; do
  fd=${fds[$i]}
  mkdir -p "${outer[$i]}"
  # No canonicalising: the kernel follows /proc/self/fd/N to the directory
  # opened above, not to the name it had.
  mount --no-canonicalize --rbind "/proc/self/fd/$fd" "${outer[$i]}"
  exec {fd}<&-
done
cd "$here" 2>/dev/null || true
exec "$@"
