#!/bin/sh
# Installs the Debian 12 packages that building and testing need. As root it
# runs apt-get itself; otherwise it prints the one line to run and fails.
# Usage: scripts/deps.sh [extra package ...]
set -eu

PACKAGES="g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libmodbus-dev libbenchmark-dev curl python3 python3-pyftpdlib python3-pymodbus python3-serial-asyncio vsftpd nginx openssl faketime libfaketime util-linux procps bsdutils prometheus-node-exporter prometheus tzdata influxdb postgresql libpq-dev $*"

missing=""
for package in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
else
  echo "missing packages; run as root:" >&2
  echo "  apt-get update && apt-get install -y$missing" >&2
  exit 1
fi
