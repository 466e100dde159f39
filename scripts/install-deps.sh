#!/usr/bin/env bash
# Installs the Debian packages Tidewell builds and tests with. Idempotent: asks apt only for what is
# missing, so a machine that has everything installs nothing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev libcurl4-openssl-dev nlohmann-json3-dev libicu-dev libplist-dev
  libfuse3-dev fuse3 libsystemd-dev libsecret-1-dev libglib2.0-dev qt6-base-dev
  libcpp-httplib-dev libssl-dev dbus curl gnome-keyring procps
  dpkg-dev help2man lintian
  libqt6svg6 xvfb xauth
  # The tray icon in a real panel (the desktop program test, the screenshots)
  xfce4-panel xdotool x11-apps
  libnautilus-extension-dev
  git rsync vim sqlite3 tar sed
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
