#!/usr/bin/env bash
# Installs everything the suite needs to build, test and run its demo (Debian 12, as root).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qtbase5-dev libusb-1.0-0-dev libcups2-dev libgtest-dev
  cups cups-client cups-bsd
  umockdev libumockdev-dev socat
  sane-utils libsane-dev libjpeg62-turbo-dev
  clang
  xvfb x11-utils xdotool imagemagick trayer dbus dbus-daemon python3-dbusmock fonts-wqy-zenhei qttranslations5-l10n
  systemd dpkg-dev desktop-file-utils procps
  prometheus-node-exporter prometheus
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
