#!/usr/bin/env bash
# Installs the Debian 12 packages that trelk needs and that are missing.
#
#   scripts/install-deps.sh [PACKAGE]...
#
# Always: what configuring and building the programs needs (GoogleTest
# included, since the default configuration builds the tests). Any packages
# named on the command line come on top (scripts/test.sh names what the tests
# need). Runs apt-get as root, or through sudo otherwise; does nothing when
# every package is there already.
set -euo pipefail

# trelk-fleet's libraries: libcurl (downloads from a site's own HTTPS
# server), libssl-dev for libcrypto (SHA-256), nlohmann/json (its report).
BUILD_PACKAGES=(
  build-essential cmake pkg-config g++ libudev-dev libgtest-dev googletest
  libcurl4-openssl-dev libssl-dev nlohmann-json3-dev
)

missing=()
for p in "${BUILD_PACKAGES[@]}" "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "install-deps.sh: installing ${missing[*]}"
  SUDO=""
  [[ $(id -u) -eq 0 ]] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q "${missing[@]}"
fi
