#!/usr/bin/env bash
# A longer fault soak than CI's: N seeded manual updates against simulated
# hubs with random "?" answers, dropped acknowledgements, wrong CRCs and
# noise lines, PARALLEL at a time. Every run must end in "Device updated
# successfully." with every board holding the package image, or in exit 1
# with the failure message; anything else is reported with the seed, which
# reproduces it: scripts/soak.sh 1 SEED.
#
#   scripts/soak.sh [N [FIRST_SEED [PARALLEL]]]     default 100 1 15
#
# Environment: BUILD_DIR (default build; built when missing). A run lasts
# about 25 s per two boards (the finish pauses), so 100 seeds at 15 at a time
# take about 5 minutes.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build}
count=${1:-100}
first=${2:-1}
parallel=${3:-15}

if [[ ! -x $BUILD_DIR/tests/e2e_soak_slow_test ]]; then
  cmake -S . -B "$BUILD_DIR"
fi
cmake --build "$BUILD_DIR" -j "$(nproc)" --target e2e_soak_slow_test trelk trelk-hubsim

TRELK_SOAK_SEEDS=$count TRELK_SOAK_FIRST_SEED=$first TRELK_SOAK_PARALLEL=$parallel \
  exec "$BUILD_DIR/tests/e2e_soak_slow_test" --gtest_color=no
