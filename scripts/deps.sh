#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, and any named as arguments,
# only those missing.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config libboost-dev libboost-thread-dev
          libprotobuf-dev protobuf-compiler libsqlite3-dev sqlite3 libgtest-dev libgmock-dev libbenchmark-dev "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
