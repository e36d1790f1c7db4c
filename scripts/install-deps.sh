#!/usr/bin/env bash
# Installs every Debian package the project needs to build, run, test, fuzz and benchmark.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail
packages=(
  build-essential cmake ninja-build ccache pkg-config
  qt6-base-dev libqt6sql6-sqlite libqt6sql6-odbc libgl-dev qt6-translations-l10n
  fonts-liberation xvfb xauth
  clang libclang-rt-14-dev
  libbenchmark-dev rapidjson-dev
  libsqlite3-dev
  zlib1g-dev
  libcpp-httplib-dev libcurl4-openssl-dev libsodium-dev libssl-dev
  unixodbc unixodbc-dev libsqliteodbc sqlite3
  curl openssl nginx systemd
  # The gateway's store on PostgreSQL: Qt's driver, and the server its tests start on their own (initdb, postgres).
  libqt6sql6-psql postgresql
  chromium chromium-driver
)
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${packages[@]}"
