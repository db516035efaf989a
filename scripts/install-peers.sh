#!/usr/bin/env bash
# Installs the engines the side-by-side benchmark (bench/peers, CMake option QRX_BUILD_PEER_BENCH) compares
# this library with, all from Debian's packages: Berkeley DB 5.3, SQLite 3, LMDB, Kyoto Cabinet and Abseil.
# Packages that are already installed are left alone; run as root (or through sudo).
set -euo pipefail

export DEBIAN_FRONTEND=noninteractive
pkgs=(libdb5.3-dev libsqlite3-dev liblmdb-dev libkyotocabinet-dev libabsl-dev pkg-config)
need=()
for pkg in "${pkgs[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -eq 0 ]; then
  echo "install-peers: all peer engines are installed"
  exit 0
fi
sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq "${need[@]}"
