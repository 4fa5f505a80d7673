#!/usr/bin/env bash
# Installs what the build and the tests need (Debian 12, through
# scripts/install-deps.sh), builds trelk with
# warnings as errors, and runs every test through CTest.
#
#   scripts/test.sh            everything
#   scripts/test.sh -L unit    only tests with that CTest label (unit, e2e, slow)
#
# Environment: BUILD_DIR (default build), JOBS (CTest parallelism; the
# end-to-end tests mostly sleep on the hub's specified pauses, so it runs well
# above the core count).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-12}

PACKAGES=(
  build-essential cmake pkg-config g++ clang-14 libclang-rt-14-dev
  libgtest-dev googletest libbenchmark-dev libudev-dev
  libboost-dev libconcurrentqueue-dev
  python3 binutils srecord iproute2 util-linux procps
  dpkg-dev file man-db groff-base gzip
)

scripts/install-deps.sh "${PACKAGES[@]}"

cmake -S . -B "$BUILD_DIR" -DTRELK_WERROR=ON -DTRELK_BUILD_BENCH=ON
cmake --build "$BUILD_DIR" -j "$(nproc)"

ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" "$@"
