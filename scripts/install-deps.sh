#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Safe to run again: packages already present are left as they are.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ clang pkg-config
  libasio-dev libcurl4-openssl-dev libprotobuf-dev protobuf-compiler
  libsqlite3-dev nlohmann-json3-dev libplist-dev zlib1g-dev libminizip-dev
  libssl-dev libexpat1-dev libqrencode-dev qt6-base-dev qt6-tools-dev
  libgtest-dev libgmock-dev libbenchmark-dev libclang-rt-14-dev
  # tests and demo
  python3 python3-protobuf python3-cryptography python3-pyftpdlib
  xvfb xauth procps util-linux fonts-wqy-microhei network-manager dbus-daemon
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
