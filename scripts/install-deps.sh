#!/usr/bin/env bash
# Installs, from Debian's packages, what building, running and testing need.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  clang libclang-rt-14-dev
  qtbase5-dev qttools5-dev qttools5-dev-tools libx11-dev
  openvpn openssl ca-certificates iproute2 dnsmasq-base nftables
  xvfb xauth x11-utils trayer imagemagick xdotool dbus-daemon dbus-bin
  librsvg2-bin fonts-roboto-unhinted
  python3
  g++-mingw-w64-x86-64-posix wine64 xz-utils
  systemd-container mmdebstrap
  debhelper dpkg-dev fakeroot lintian desktop-file-utils appstream binutils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
