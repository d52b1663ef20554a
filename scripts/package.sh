#!/bin/bash
# Builds the Debian packages (debian/) offline with dpkg-buildpackage from a
# copy of the tree, so the checkout stays clean, and checks them with lintian.
# Leaves the .deb files, the .changes and .buildinfo files, lintian's output
# (lintian.txt) and the build log in OUT (default out/packages).
#
# The version comes from CMakeLists.txt's project(VERSION); debian/changelog's
# newest entry must carry the same version. --version-suffix +S builds version
# VERSION+S (a newer package of the same tree, e.g. to test upgrades) by
# adding a changelog entry to the copy.
# usage: package.sh [--out DIR] [--version-suffix +SUFFIX] [--no-lintian]
set -euo pipefail
usage() {
  echo "usage: package.sh [--out DIR] [--version-suffix +SUFFIX] [--no-lintian]" >&2
  exit 2
}

top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/out/packages
suffix=""
lintian=1
while [ $# -gt 0 ]; do
  case "$1" in
    --out) [ $# -ge 2 ] || usage; out=$2; shift 2 ;;
    --version-suffix) [ $# -ge 2 ] || usage; suffix=$2; shift 2 ;;
    --no-lintian) lintian=0; shift ;;
    *) usage ;;
  esac
done
case "$suffix" in
  "" | +[A-Za-z0-9]*) ;;
  *) echo "package.sh: a version suffix starts with + and a letter or digit: $suffix" >&2; exit 2 ;;
esac
case "$suffix" in *[!A-Za-z0-9.+~]*)
  echo "package.sh: a version suffix may hold only letters, digits, '.', '+' and '~': $suffix" >&2; exit 2 ;;
esac

version=$(sed -n 's/^project([A-Za-z0-9_]* VERSION \([0-9][0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
changelog_version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
source_name=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Source)
if [ -z "$version" ]; then
  echo "package.sh: no project(NAME VERSION x.y.z) in CMakeLists.txt" >&2
  exit 1
fi
if [ "$changelog_version" != "$version" ]; then
  echo "package.sh: debian/changelog's newest entry has version $changelog_version," \
    "CMakeLists.txt says $version: add a changelog entry for $version" >&2
  exit 1
fi

mkdir -p "$out"
out=$(cd "$out" && pwd)
case "$out" in
  "$top" | "$top"/debian | "$top"/debian/*) echo "package.sh: --out must not be the tree or debian/" >&2; exit 2 ;;
esac
rm -f "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo "$out/lintian.txt" "$out/build.log"
work=$out/.build
rm -rf "$work"
src=$work/$source_name-$version$suffix
mkdir -p "$src"

# The files git knows (tracked, or new and not ignored) as they are in the
# working tree: build directories and out/ stay behind.
if ! git -C "$top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "package.sh: $top is not a git checkout; the copy is made from git's file list" >&2
  exit 1
fi
(cd "$top" && git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf -) | tar -C "$src" -xf -

if [ -n "$suffix" ]; then
  maintainer=$(sed -n 's/^Maintainer: //p' "$src/debian/control")
  {
    printf '%s (%s) bookworm; urgency=medium\n\n' "$source_name" "$version$suffix"
    printf '  * Rebuild of %s as %s.\n\n' "$version" "$version$suffix"
    printf ' -- %s  %s\n\n' "$maintainer" "$(date -R)"
    cat "$src/debian/changelog"
  } >"$src/debian/changelog.new"
  mv "$src/debian/changelog.new" "$src/debian/changelog"
fi

echo "package.sh: building $source_name $version$suffix in $work"
if ! (cd "$src" && dpkg-buildpackage -us -uc -b -J"$(nproc)") >"$out/build.log" 2>&1; then
  tail -n 40 "$out/build.log" >&2
  echo "package.sh: dpkg-buildpackage failed; the whole log is $out/build.log" >&2
  exit 1
fi
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out"/
rm -rf "$work"
changes=$(ls "$out"/*.changes)

if [ "$lintian" = 1 ]; then
  # Errors and warnings fail the build; overrides (debian/*.lintian-overrides)
  # carry the reason for each one that stays.
  # Informational, pedantic and experimental tags and the overridden ones
  # are shown too; they do not fail the build.
  status=0
  lintian --display-info --pedantic --display-experimental --show-overrides --fail-on error,warning \
    "$changes" >"$out/lintian.txt" 2>"$out/lintian.stderr" || status=$?
  grep -v '^running with root privileges is not recommended!$' "$out/lintian.stderr" >&2 || true
  rm -f "$out/lintian.stderr"
  if [ -s "$out/lintian.txt" ]; then cat "$out/lintian.txt"; else echo "lintian: no tags"; fi
  if [ "$status" != 0 ]; then
    echo "package.sh: lintian found errors or warnings (exit status $status)" >&2
    exit 1
  fi
fi

for deb in "$out"/*.deb; do
  printf '%s\t%s bytes, installed size %s KiB\n' "$(basename "$deb")" "$(stat -c %s "$deb")" \
    "$(dpkg-deb -f "$deb" Installed-Size)"
done
