#!/bin/bash
# The Debian packages as a printer owner meets them, in a fresh Debian 12 root
# (debootstrap, cached as a tarball under BUILD_DIR/debian-test/cache), never
# on this machine's own system:
#   1. scripts/package.sh builds the packages twice, VERSION and VERSION+test1
#      (the first build also passes lintian);
#   2. the root gets cups (and systemd, for the printer application's unit)
#      and the packages' dependencies from Debian's archive (apt-get
#      satisfy), a capture backend and a test page; its file list is taken;
#   3. apt installs the packages; inside the root a cupsd runs (own network
#      namespace, its Unix socket /run/cups/cups.sock); lpinfo -m must list
#      lsb/usr/fiskor/..., a queue made with lpadmin -m prints a PDF page
#      through the capture backend, and fzinspect (this build's and the
#      packaged one) accepts the captured stream. The printer application's
#      unit must be enabled and pass systemd-analyze verify, its user and
#      state directory exist, and the program, started as the unit starts
#      it, must print the page through a printer added with its command line;
#   4. apt upgrades to VERSION+test1: cups's trigger must move the queue to
#      the new PPD, the queue must print again, and the application must
#      still know its printer and print;
#   5. the queue is deleted and the packages purged: the root's file list must
#      equal the one from step 2, no file the packages listed may be left,
#      nor the application's user.
# Needs root, unshare, debootstrap and Debian's archive (the mirror this
# machine's apt uses). Runs in a private mount and PID namespace: every mount
# and process of the test goes away with it.
# usage: test_packages.sh BUILD_DIR
set -euo pipefail

build=${1:?usage: test_packages.sh BUILD_DIR}
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$build" && pwd)
work=$build/debian-test
root=$work/root
suffix=+test1

fail() {
  echo "test_packages: FAIL: $*" >&2
  exit 1
}
step() { echo "== packages: $* ($(($(date +%s) - start)) s)"; }

# ---------------------------------------------------------------- outside

if [ "${2-}" != --in-namespace ]; then
  [ "$(id -u)" = 0 ] || fail "must run as root"
  start=$(date +%s)
  mkdir -p "$work/cache"
  step "building the packages"
  bash "$top/scripts/package.sh" --out "$work/pkgs/1" >"$work/package-1.log" 2>&1 ||
    { cat "$work/package-1.log" >&2; fail "scripts/package.sh failed"; }
  sed -n '/^[A-Z]: /p' "$work/package-1.log"
  bash "$top/scripts/package.sh" --out "$work/pkgs/2" --version-suffix "$suffix" --no-lintian \
    >"$work/package-2.log" 2>&1 ||
    { cat "$work/package-2.log" >&2; fail "scripts/package.sh --version-suffix $suffix failed"; }
  exec unshare --mount --propagation private --pid --fork --kill-child \
    "$0" "$build" --in-namespace "$start"
fi
start=$3
# PID 1 of the namespace: signals need a handler to end it.
trap 'exit 130' INT TERM

# ---------------------------------------------------------------- the mirror

# "URI SUITE" for every binary Debian source of this machine's apt.
apt_sources() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk '$1 == "deb" { i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ } print $i, $(i + 1) }' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'function flush(  n, m, a, b, u, s) {
           if (types ~ /(^| )deb( |$)/) {
             n = split(uris, u, " "); m = split(suites, s, " ")
             for (a = 1; a <= n; a++) for (b = 1; b <= m; b++) print u[a], s[b]
           }
           types = uris = suites = ""
         }
         /^[ \t]*#/ { next }
         /^[ \t]*$/ { flush(); next }
         /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
         /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
         /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
         END { flush() }' "$f"
  done
}
sources=$(apt_sources | awk '$2 ~ /^bookworm(-updates|-security)?$/' | sort -u -k2,2)
mirror=$(printf '%s\n' "$sources" | awk '$2 == "bookworm" { print $1; exit }')
if [ -z "$mirror" ]; then
  mirror=http://deb.debian.org/debian
  sources="$mirror bookworm"
fi

# ---------------------------------------------------------------- the root

cupsd_pid=""
mounted=()
cleanup() {
  if [ -n "$cupsd_pid" ]; then
    kill "$cupsd_pid" 2>/dev/null || true
    wait "$cupsd_pid" 2>/dev/null || true
  fi
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[$i]}" 2>/dev/null || umount -l "${mounted[$i]}" || true
  done
}
trap cleanup EXIT

tarball=$work/cache/bookworm-minbase-$(printf '%s' "$mirror" | tr -c 'A-Za-z0-9' _).tar
if [ ! -f "$tarball" ]; then
  step "debootstrap --variant=minbase bookworm from $mirror (cached afterwards)"
  rm -rf "$work/bootstrap"
  debootstrap --variant=minbase bookworm "$work/bootstrap" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -n 20 "$work/debootstrap.log" >&2; fail "debootstrap failed"; }
  rm -f "$work/bootstrap"/var/cache/apt/archives/*.deb
  tar -C "$work/bootstrap" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
  rm -rf "$work/bootstrap"
fi
step "a fresh root from $(basename "$tarball")"
rm -rf "$root"
mkdir -p "$root"
tar -C "$root" -xf "$tarball"

mount_in_root() {   # mount_in_root PATH MOUNT-ARGUMENT...
  local target=$root$1
  shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounted+=("$target")
}
mount_in_root /proc -t proc proc
mount_in_root /run -t tmpfs -o mode=0755 tmpfs
mkdir -p "$work/cache/archives/partial"
# Downloaded packages stay in the cache for the next run.
mount_in_root /var/cache/apt/archives --bind "$work/cache/archives"

in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}
# No package script may start a service in the root.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 0755 "$root/usr/sbin/policy-rc.d"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
printf '%s\n' "$sources" | awk '{ print "deb", $1, $2, "main" }' >"$root/etc/apt/sources.list"
printf 'APT::Keep-Downloaded-Packages "true";\nDpkg::Use-Pty "false";\nquiet "1";\n' \
  >"$root/etc/apt/apt.conf.d/90fz-test"

apt_log=$work/apt.log
: >"$apt_log"
apt_in_root() {   # apt_in_root ARGUMENT...: apt-get in the root, output in apt.log
  echo "# apt-get $*" >>"$apt_log"
  if ! in_root apt-get -y "$@" >>"$apt_log" 2>&1; then
    tail -n 30 "$apt_log" >&2
    fail "apt-get $* failed (whole log: $apt_log)"
  fi
}

pkgs1=("$work"/pkgs/1/*.deb)
pkgs2=("$work"/pkgs/2/*.deb)
names=()
for deb in "${pkgs1[@]}"; do
  case "$deb" in *-dbgsym_*) continue ;; esac
  names+=("$(dpkg-deb -f "$deb" Package)")
done
deps=$(for deb in "${pkgs1[@]}"; do
  case "$deb" in *-dbgsym_*) continue ;; esac
  dpkg-deb -f "$deb" Depends
done | paste -sd, -)

# The printer application's package is checked with systemd in the root
# (not running: its unit is verified and enabled, and started by hand).
app=""
for n in "${names[@]}"; do
  [ "$n" = fiskor-printer-app ] && app=$n
done
extra=cups
[ -n "$app" ] && extra="cups, systemd"

step "apt-get satisfy: $extra and the packages' dependencies"
echo "   $extra, $deps"
apt_in_root update
apt_in_root satisfy --no-install-recommends "$extra, $deps"

# The test's own files, outside every package's paths: the debs, a one-page
# PDF and the capture backend's directory. The backend runs as root (0700).
mkdir -p "$root/fz-test/capture" "$root/fz-test/pkgs"
for deb in "${pkgs1[@]}" "${pkgs2[@]}"; do
  case "$deb" in *-dbgsym_*) continue ;; esac
  cp "$deb" "$root/fz-test/pkgs/"
done
install -m 0700 "$top/tests/e2e/capture-backend" "$root/usr/lib/cups/backend/capture"
"$top/scripts/make_pdf.sh" "$top/samples/sample.ps" "$root/fz-test/page.pdf" -dFirstPage=1 -dLastPage=1

start_cupsd() {
  mkdir -p "$root/run/cups"
  # Its own network namespace keeps the root's cupsd off this machine's
  # port 631; clients reach it through the socket in the root's /run/cups.
  unshare --net sh -c 'ip link set lo up && exec chroot "$0" /usr/sbin/cupsd -f' "$root" &
  cupsd_pid=$!
  local i
  for i in $(seq 1 100); do
    in_root lpstat -r 2>/dev/null | grep -q "is running" && return 0
    kill -0 "$cupsd_pid" 2>/dev/null || fail "cupsd in the root exited (see $root/var/log/cups/error_log)"
    sleep 0.1
  done
  fail "cupsd in the root did not answer within 10 s"
}
stop_cupsd() {
  kill "$cupsd_pid"
  wait "$cupsd_pid" || true
  cupsd_pid=""
}

# Everything in the root but kernel file systems, /run and /tmp, the test's
# own files, apt's download cache (bind-mounted from the cache), logs (dpkg's,
# apt's and cupsd's, which grow with every step) and the scheduler's own
# state, which a queue leaves behind whatever its driver: its list of queues
# (printers.conf, kept empty when the last queue is deleted) and its cache
# (job history, a deleted queue's .strings file, the cups package's record of
# the PPD updates it ran).
file_list() {
  (cd "$root" && find . \( -path ./proc -o -path ./sys -o -path ./dev -o -path ./run -o -path ./tmp \
    -o -path ./fz-test -o -path ./var/cache/apt/archives -o -path ./var/log -o -path ./var/cache/cups \
    -o -path './etc/cups/printers.conf*' \) -prune \
    -o -printf '%y %m %U:%G %p\n' | sort -k4)
}

# The scheduler has run once (its cache and state files exist) before the
# file list is taken, as it will have when the list is taken again.
start_cupsd
in_root lpinfo -m >"$work/lpinfo-before.txt"
grep -q fiskor "$work/lpinfo-before.txt" && fail "lpinfo -m lists a fiskor PPD before the packages are installed"
stop_cupsd
file_list >"$work/files-before.txt"
[ ! -e "$root/usr/bin/pbmtojbg" ] || fail "jbigkit's pbmtojbg is in the root; the packaged encoder would not be the only one"

debs() {   # debs N: the root's paths of build N's packages
  local deb
  for deb in "$work"/pkgs/"$1"/*.deb; do
    case "$deb" in *-dbgsym_*) continue ;; esac
    echo "/fz-test/pkgs/$(basename "$deb")"
  done
}

print_page() {   # print_page: prints the page on queue fz, checks the captured stream
  local out id i state
  out=$(in_root lp -d fz /fz-test/page.pdf) || fail "lp failed: $out"
  id=$(printf '%s\n' "$out" | sed -n 's/^request id is fz-\([0-9]*\) .*/\1/p')
  [ -n "$id" ] || fail "no job id in lp's answer: $out"
  for i in $(seq 1 600); do
    if in_root lpstat -W completed -o fz | grep -q "^fz-$id "; then
      break
    fi
    if in_root lpstat -p fz | grep -q disabled; then
      tail -n 40 "$root/var/log/cups/error_log" >&2
      fail "queue fz stopped while printing job $id"
    fi
    sleep 0.1
  done
  local prn=$root/fz-test/capture/job-$id.prn
  if [ ! -s "$prn" ]; then
    tail -n 40 "$root/var/log/cups/error_log" >&2
    fail "job $id completed no stream within 60 s"
  fi
  # This build's inspector and the packaged one must both accept the stream:
  # structure, page records and JBIG data decoded by libjbig.
  "$build/tools/fzinspect" "$prn" >"$work/inspect-$id.txt" ||
    { cat "$work/inspect-$id.txt" >&2; fail "fzinspect rejects job $id's stream"; }
  in_root fzinspect --quiet "/fz-test/capture/job-$id.prn" ||
    fail "the packaged fzinspect rejects job $id's stream"
  local pages
  pages=$(sed -n 's/^\([0-9]*\) page records$/\1/p' "$work/inspect-$id.txt")
  [ "$pages" = 1 ] || { cat "$work/inspect-$id.txt" >&2; fail "job $id: $pages page records, expected 1"; }
  echo "   job $id: $(stat -c %s "$prn") bytes, 1 page record, accepted by both fzinspects"
}

# The printer application as its unit starts it: the unit's user, group,
# environment, runtime directory and command line (systemd's sandboxing
# aside), in a network namespace of its own. Through the socket the unit
# links, root's command line adds a printer writing to a directory (first
# time) or finds it kept in the state directory (after the upgrade), and the
# service prints the PDF page (Ghostscript, the package's dependency).
unit=/lib/systemd/system/fiskor-printer-app.service
unit_value() { sed -n "s/^$1=//p" "$root$unit"; }
check_app() {   # check_app first|again
  local state user group uid env cmd run sock pid i out id prn
  state=$(in_root systemctl is-enabled fiskor-printer-app.service 2>&1 || true)
  [ "$state" = enabled ] || fail "fiskor-printer-app.service is '$state' after the install, not enabled"
  # --man=no: the minimal root has no man command to look the page up with.
  if ! in_root systemd-analyze verify --man=no "$unit" >"$work/verify.txt" 2>&1 || [ -s "$work/verify.txt" ]; then
    cat "$work/verify.txt" >&2
    fail "systemd-analyze verify does not accept $unit"
  fi
  user=$(unit_value User)
  group=$(unit_value Group)
  [ "$user" = fiskor-printer-app ] && [ "$group" = lp ] || fail "the unit runs as $user:$group"
  in_root getent passwd "$user" >/dev/null || fail "no user $user after the install"
  [ "$(in_root id -gn "$user")" = lp ] || fail "user $user's group is not lp"
  out=$(in_root stat -c '%U:%G %a' /var/lib/fiskor-printer-app)
  [ "$out" = "$user:lp 700" ] || fail "/var/lib/fiskor-printer-app is $out, not $user:lp 700"
  [ -d "$root/var/spool/fiskor-printer-app" ] || fail "no spool /var/spool/fiskor-printer-app after the install"

  uid=$(in_root id -u "$user")
  env=$(unit_value Environment)
  cmd=$(unit_value ExecStart)
  run=$root/run/$(unit_value RuntimeDirectory)
  sock=$run/fiskor-printer-app$uid.sock
  install -d -m 0700 -o "$uid" -g "$(in_root id -g "$user")" "$run"
  in_root install -d -o "$user" -g lp /fz-test/app-out
  rm -f "$root"/fz-test/app-out/*
  # shellcheck disable=SC2086 # the unit's command line, split as systemd splits it here
  unshare --net sh -c 'ip link set lo up && exec "$@"' sh chroot --userspec="$user:$group" "$root" \
    /usr/bin/env -i PATH=/usr/bin:/bin LANG=C.UTF-8 $env $cmd >"$work/app-$1.log" 2>&1 &
  pid=$!
  # Commands sent before the server listens would start a private server of
  # their own (PAPPL does so when it cannot connect): wait for the run loop.
  for i in $(seq 1 100); do
    [ -S "$sock" ] && grep -q "Starting system" "$work/app-$1.log" && break
    kill -0 "$pid" 2>/dev/null || { cat "$work/app-$1.log" >&2; fail "the unit's ExecStart exited"; }
    sleep 0.1
  done
  grep -q "Starting system" "$work/app-$1.log" || { cat "$work/app-$1.log" >&2; fail "the service did not start within 10 s"; }
  ln -sfn "$(basename "$run")/$(basename "$sock")" "$root/run/fiskor-printer-app.sock"
  if [ "$1" = first ]; then
    in_root fiskor-printer-app add -d fz -m fiskor_600 -v file:///fz-test/app-out ||
      { cat "$work/app-$1.log" >&2; fail "fiskor-printer-app add, run as root, failed"; }
  else
    in_root fiskor-printer-app printers | grep -qx fz ||
      fail "the service's printer fz is gone after the upgrade"
  fi
  out=$(in_root fiskor-printer-app submit -d fz /fz-test/page.pdf) || fail "fiskor-printer-app submit failed: $out"
  id=${out#fz-}
  for i in $(seq 1 600); do
    in_root fiskor-printer-app jobs -d fz | grep -Eq "^ *$id +completed " && break
    sleep 0.1
  done
  prn=$root/fz-test/app-out/page.pdf.prn
  in_root fiskor-printer-app jobs -d fz | grep -Eq "^ *$id +completed " && [ -s "$prn" ] ||
    { cat "$work/app-$1.log" >&2; fail "the service's job $id wrote no stream within 60 s"; }
  # Written by the service's user, not by a server the command line started.
  out=$(in_root stat -c %U /fz-test/app-out/page.pdf.prn)
  [ "$out" = "$user" ] || fail "the stream was written by $out, not by the service's user $user"
  "$build/tools/fzinspect" "$prn" >"$work/inspect-app-$1.txt" ||
    { cat "$work/inspect-app-$1.txt" >&2; fail "fzinspect rejects the service's stream"; }
  [ "$(sed -n 's/^\([0-9]*\) page records$/\1/p' "$work/inspect-app-$1.txt")" = 1 ] ||
    { cat "$work/inspect-app-$1.txt" >&2; fail "the service's stream has no single page record"; }
  kill "$pid"
  wait "$pid" || true
  rm -f "$root/run/fiskor-printer-app.sock"
  [ -n "$(ls -A "$root/var/lib/fiskor-printer-app")" ] ||
    { cat "$work/app-$1.log" >&2; fail "the service left no state in /var/lib/fiskor-printer-app"; }
  echo "   $unit: enabled, accepted by systemd-analyze verify; run as $user:$group it printed the page (fzinspect: 1 page record)"
}

step "apt-get install $(debs 1 | xargs -n1 basename | paste -sd' ' -)"
start_cupsd
mapfile -t new < <(debs 1)
: >"$work/package-files.txt"
apt_in_root install --no-install-recommends "${new[@]}"
for n in "${names[@]}"; do
  in_root dpkg-query -L "$n" >>"$work/package-files.txt"
done
in_root lpinfo -m >"$work/lpinfo.txt"
grep -q '^lsb/usr/fiskor/fiskor_zembrulan\.ppd ' "$work/lpinfo.txt" ||
  fail "lpinfo -m does not list lsb/usr/fiskor/fiskor_zembrulan.ppd"
# (lpadmin warns that PPD drivers are deprecated.)
out=$(in_root lpadmin -p fz -E -v capture:/fz-test/capture -m lsb/usr/fiskor/fiskor_zembrulan.ppd 2>&1) ||
  fail "lpadmin -m lsb/usr/fiskor/fiskor_zembrulan.ppd failed: $out"
print_page
[ -z "$app" ] || check_app first

step "upgrade to $(debs 2 | xargs -n1 basename | paste -sd' ' -)"
mapfile -t new < <(debs 2)
mark=$(wc -l <"$apt_log")
apt_in_root install --no-install-recommends "${new[@]}"
for n in "${names[@]}"; do
  v=$(in_root dpkg-query -W -f '${Version}' "$n")
  case "$v" in *"$suffix") ;; *) fail "$n is at version $v after the upgrade" ;; esac
done
tail -n +"$mark" "$apt_log" | grep -q "PPD for printer fz updated" ||
  { tail -n +"$mark" "$apt_log" >&2; fail "cups's trigger did not move queue fz to the upgraded PPD"; }
print_page
[ -z "$app" ] || check_app again

step "lpadmin -x fz, apt-get purge ${names[*]}"
in_root lpadmin -x fz
apt_in_root purge "${names[@]}"
for n in "${names[@]}"; do
  status=$(in_root dpkg-query -W -f '${db:Status-Status}' "$n" 2>/dev/null || true)
  [ -z "$status" ] || [ "$status" = not-installed ] || fail "$n is '$status' after the purge"
done
if [ -n "$app" ] && in_root getent passwd fiskor-printer-app >/dev/null; then
  fail "the user fiskor-printer-app is left after the purge"
fi
stop_cupsd
file_list >"$work/files-after.txt"
if ! diff -u "$work/files-before.txt" "$work/files-after.txt" >"$work/files.diff"; then
  cat "$work/files.diff" >&2
  fail "the root's files after the purge differ from those before the install"
fi
# Also every file the packages listed, by name (through /lib -> usr/lib and
# in the places the file list leaves out); directories are in the list.
while read -r f; do
  [ -d "$root$f" ] && continue
  [ ! -e "$root$f" ] && [ ! -L "$root$f" ] || fail "$f of the packages is left after the purge"
done <"$work/package-files.txt"
echo "   purge left the root as it was: $(wc -l <"$work/files-after.txt") paths compared"
step "passed"
