#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build, test and run vorel.
# Safe to run again: packages already present are skipped.
set -euo pipefail
packages=(cmake g++ make pkg-config libgtest-dev libgmock-dev googletest libbenchmark-dev
          nlohmann-json3-dev libcli11-dev clang-format)
if [[ "${VOREL_WITH_PPC:-0}" == 1 ]]; then
  packages+=(g++-powerpc-linux-gnu qemu-user)
fi
if [[ "${VOREL_WITH_FUZZ:-0}" == 1 ]]; then
  packages+=(clang-14 libclang-rt-14-dev llvm-14)
fi
if [[ "${VOREL_WITH_BENCH:-0}" == 1 ]]; then
  packages+=(jq gnuplot-nox)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
