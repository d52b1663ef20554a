#!/bin/bash
# Lays out a private CUPS scheduler under DIR: its own ServerRoot with
# cupsd.conf and cups-files.conf, spool, cache, state, logs and a Unix domain
# socket DIR/cups.sock, using ServerBin SERVERBIN (see serverbin.sh). Filters
# run as user lp; nothing of the machine's own CUPS installation is written.
# Start it with: cupsd -f -c DIR/root/cupsd.conf -s DIR/root/cups-files.conf
# usage: cupsd_conf.sh DIR SERVERBIN
set -euo pipefail
dir=${1:?usage: cupsd_conf.sh DIR SERVERBIN}
sb=${2:?usage: cupsd_conf.sh DIR SERVERBIN}
umask 022
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
mkdir -p "$dir/root/ppd" "$dir/root/ssl" "$dir/spool/tmp" "$dir/cache" "$dir/state" "$dir/log" "$dir/capture"
# The spool and its temporary directory are where filters running as lp
# keep their files; cupsd itself also sets these modes on start.
chown root:lp "$dir/spool" "$dir/spool/tmp" "$dir/cache"
chmod 0710 "$dir/spool"
chmod 1770 "$dir/spool/tmp"
chmod 0770 "$dir/cache"

cat >"$dir/root/cups-files.conf" <<CONF
ServerRoot $dir/root
ServerBin $sb
DataDir $(cups-config --datadir 2>/dev/null || echo /usr/share/cups)
RequestRoot $dir/spool
TempDir $dir/spool/tmp
CacheDir $dir/cache
StateDir $dir/state
ServerKeychain $dir/root/ssl
CreateSelfSignedCerts no
Printcap $dir/printcap
AccessLog $dir/log/access_log
ErrorLog $dir/log/error_log
PageLog $dir/log/page_log
User lp
Group lp
SystemGroup root
FileDevice No
CONF

cat >"$dir/root/cupsd.conf" <<CONF
LogLevel debug
MaxLogSize 0
Listen $dir/cups.sock
Browsing No
BrowseLocalProtocols none
WebInterface No
DefaultAuthType None
PreserveJobHistory Yes
PreserveJobFiles No
MaxJobs 0
JobKillDelay 30
ErrorPolicy abort-job
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order allow,deny
    Allow all
  </Limit>
</Policy>
CONF
chmod 0640 "$dir/root/cupsd.conf" "$dir/root/cups-files.conf"
