#!/usr/bin/env bash
# Installs every Debian package that building and testing need.
# Idempotent: when everything is present it returns at once.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git procps
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  librtmidi-dev libusb-1.0-0-dev libcurl4-openssl-dev libssl-dev
  jackd2 libjack-jackd2-dev
  qt6-base-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
# jackd2 asks whether to enable realtime scheduling; the default answer is fine.
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
