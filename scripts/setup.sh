#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine (only what is missing).
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config ccache git
  clang-14 clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev libinih-dev gsoap libgsoap-dev libspandsp-dev qtbase5-dev
  qttranslations5-l10n xvfb imagemagick fonts-liberation fonts-wqy-zenhei
  python3 python3-cryptography ffmpeg mediainfo zlib1g-dev
  iproute2 nftables iputils-ping tcpdump
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
