#!/bin/bash
# Lays out a private CUPS scheduler under DIR: its own ServerRoot with
# cupsd.conf and cups-files.conf, spool, cache, state, logs and a Unix domain
# socket DIR/cups.sock, using ServerBin SERVERBIN (see serverbin.sh). Filters
# run as user lp; nothing of the machine's own CUPS installation is written.
# cupsd itself gives the spool, cache and state directories their owner and modes.
# Start it with: cupsd -f -c DIR/root/cupsd.conf -s DIR/root/cups-files.conf
# usage: cupsd_conf.sh DIR SERVERBIN
set -euo pipefail
dir=${1:?usage: cupsd_conf.sh DIR SERVERBIN}
sb=${2:?usage: cupsd_conf.sh DIR SERVERBIN}
umask 022
mkdir -p "$dir/root" "$dir/log" "$dir/capture" "$dir/spool/tmp" "$dir/cache" "$dir/state"
dir=$(cd "$dir" && pwd)

cat >"$dir/root/cups-files.conf" <<CONF
ServerRoot $dir/root
ServerBin $sb
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
CONF

cat >"$dir/root/cupsd.conf" <<CONF
LogLevel debug
MaxLogSize 0
PageLogFormat %p %u %j %T %P %C %{job-billing} %{job-originating-host-name} %{job-name} %{media} %{sides} %{copies}
Listen $dir/cups.sock
Browsing No
BrowseLocalProtocols none
DefaultAuthType None
PreserveJobFiles No
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
