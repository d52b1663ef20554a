#!/bin/bash
# Installs every Debian 12 package the project needs to build, test, run its
# demo and fuzz. Run as root. Does nothing when all are present already.
set -euo pipefail

PACKAGES=(
  build-essential g++ cmake pkg-config clang libclang-rt-14-dev
  libcups2-dev libcjson-dev libjbig-dev libpng-dev libgtest-dev libbenchmark-dev
  libpappl-dev cups-ipp-utils libjpeg-dev
  jbigkit-bin cups cups-client cups-filters ghostscript poppler-utils
  util-linux procps
  debhelper lintian debootstrap debian-archive-keyring iproute2
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run this script as root" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${PACKAGES[@]}"
