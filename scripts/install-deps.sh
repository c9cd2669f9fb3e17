#!/usr/bin/env bash
# Installs the Debian packages batmon needs. Usage: scripts/install-deps.sh [run|all]
#   run  what building and running batmon, batmon-demo and batmon-sim needs (scripts/run.sh)
#   all  that, plus what the tests, benchmarks, the export plugin, lint and CI need (default)
# Quick when everything is already there: it only calls apt-get for packages that are missing.
set -euo pipefail

set_name="${1:-all}"

# The compiler and build tools, Qt with its SQLite driver, the libraries the programs link
# (libpq-dev and libsystemd-dev only because configuring the tree looks for them:
# batmon-collector and batmond are part of it; libssl-dev for the MQTT client's TLS
# diagnostics; libcurl for alarm mail and webhooks; cpp-httplib and libcrypt for the web
# server), and the faces the window's font names are mapped to.
run_packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev libgl-dev libjpeg62-turbo-dev libfontconfig-dev
  libqt6sql6-sqlite libsqlite3-dev libmosquitto-dev libpq-dev libsystemd-dev libssl-dev tzdata
  libcpp-httplib-dev libcrypt-dev libcurl4-openssl-dev
  fonts-wqy-microhei fonts-arphic-ukai fonts-liberation fonts-dejavu-core
)

# Tests and CI: GoogleTest, the real servers the tests start, LibreOffice with its SDK (the
# export plugin and its tests), a private session bus, the sanitizers' and fuzzer's clang,
# the lint tools, Xvfb for screenshots, and what packaging and its tests call: scdoc for the
# manual pages, man to render them, systemd-analyze for the units, lintian for the package,
# promtool for the Prometheus rules; the web tests' headless Chromium, its driver and selenium,
# and mkpasswd (in whois) for their users' hashes.
test_packages=(
  libgtest-dev libgmock-dev
  file dpkg-dev scdoc man-db systemd lintian
  xvfb xauth x11-utils imagemagick
  libreoffice-calc libreoffice-dev poppler-utils
  clang libclang-rt-14-dev clang-format clang-tidy
  dbus
  mosquitto postgresql openssl python3-aiosmtpd
  prometheus
  chromium chromium-driver python3-selenium whois
)

case "$set_name" in
  run) packages=("${run_packages[@]}") ;;
  all) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 [run|all]" >&2; exit 2 ;;
esac

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
