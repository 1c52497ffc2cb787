#!/usr/bin/env bash
# Installs what building and testing kpt needs on Debian 12, when missing.
# tcpdump and tshark are what the libpcap route's tests run on the ports.
# gdb shows, in a test's output, the threads of a program it had to kill.
set -euo pipefail
pkgs=(cmake ninja-build g++ make libgtest-dev libgmock-dev libbenchmark-dev iproute2 clang
      libclang-rt-14-dev libpcap-dev pkg-config tcpdump tshark gdb)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
