#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing batmon need.
# Quick when everything is already there: it only calls apt-get for packages that are missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config file dpkg-dev
  qt6-base-dev libgl-dev libjpeg62-turbo-dev libfontconfig-dev
  libgtest-dev libgmock-dev
  fonts-wqy-microhei fonts-arphic-ukai fonts-liberation fonts-dejavu-core
  xvfb xauth x11-utils imagemagick
  libreoffice-calc libreoffice-dev poppler-utils
  clang libclang-rt-14-dev
  dbus
  libmosquitto-dev mosquitto libpq-dev postgresql openssl
  libqt6sql6-sqlite libsqlite3-dev tzdata
  prometheus
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
echo "Installing: ${missing[*]}"
$SUDO apt-get -o DPkg::Lock::Timeout=300 update -q
$SUDO apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends "${missing[@]}"
