#!/usr/bin/env bash
# Installs the Debian packages the build, tests, tool and benchmarks need, when they are missing, and the
# further packages named as arguments.
#   usage: scripts/deps.sh [PACKAGE...]
set -euo pipefail
pkgs=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libcsv-dev man-db "$@")
need=()
for pkg in "${pkgs[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${need[@]}"
fi
