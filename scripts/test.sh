#!/usr/bin/env bash
# Installs what the build and the tests need (Debian 12, through
# scripts/install-deps.sh), builds trelk with
# warnings as errors, and runs every test through CTest; then the same unit
# tests and a chosen set of end-to-end cases under AddressSanitizer,
# LeakSanitizer and UndefinedBehaviorSanitizer, and every libFuzzer target
# for a bounded time. Any sanitizer report fails the run.
#
#   scripts/test.sh            everything (what CI runs)
#   scripts/test.sh -L unit    only the main build's tests with that CTest
#                              label (unit, e2e, slow); no sanitizer stages
#
# Environment:
#   STAGES        stages to run, default "main asan fuzz" without arguments
#                 and "main" with CTest arguments
#   BUILD_DIR     main build (default build)
#   ASAN_BUILD_DIR, FUZZ_BUILD_DIR   (default build-asan, build-fuzz)
#   JOBS          CTest parallelism (default 12; the end-to-end tests mostly
#                 sleep on the hub's specified pauses, so it runs well above
#                 the core count)
#   FUZZ_SECONDS  time per fuzz target (default 30)
#   ASAN_E2E      end-to-end cases run under the sanitizers (CTest regex)
#   ASAN_SOAK_SEEDS  soak runs under the sanitizers (default 6; the main
#                 build runs 30, scripts/soak.sh as many as asked)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build}
ASAN_BUILD_DIR=${ASAN_BUILD_DIR:-build-asan}
FUZZ_BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz}
JOBS=${JOBS:-12}
FUZZ_SECONDS=${FUZZ_SECONDS:-30}
if (($#)); then
  STAGES=${STAGES:-main}
else
  STAGES=${STAGES:-main asan fuzz}
fi
BUILD_JOBS=$(nproc)

# End-to-end cases (CTest name regex) that also run under the sanitizers:
# one of each path through the three actions (every failure exit, a switch,
# an unplug, the failure exit of an upload, the automatic update's prompts and
# downloads), trelk-fleet's probes, dry run, interrupt and failing hub, the
# bad-input cases and a few soak seeds, trelk-fleet's own servers (a prefix
# on another port, HTTPS) and its downloads, and a hub followed by its USB
# identity (back under another name, another hub on its path, two paths to
# one device), trelk-fleet's restart and read-back (hubs brought back from
# their bootloaders, one staying there, one not coming back, another hub on
# a returning port), its canary gate and a station's visits, so every path's releases are
# checked for leaks without repeating the whole suite's sleeping.
ASAN_E2E=${ASAN_E2E:-'Cli\.|ManualUpdate\.|ManualUpload\.(NormalModeWithBootloaderFlag|ARefusalAfterTheSwitch)|ExitBootloader\.TwoBoard|AutoUpload\.|AutoUpdate\.(NoStableEntry|Prompts|InputEndingAtTheFirmware|NoFirmwareServer)|BadPackage|BadServer\.|UploadTest\.(TheCableComesBack|NaksDropped|AnotherHubOnTheReturning)|UploadFailure\.|Soak\.|FleetCommandLine\.|FleetStage\.(DryRun|ListShowsEveryHub|CtrlC|ServerOfTheSite|HttpsServer|TwoPathsToOneDevice|HubsLeftInTheirBootloaders|AnotherHubOnTheRestarting|AHubOfTheSameModelOnTheRestarting|AStationGoesOn|AHubPulled)|FakeUsbStage\.|ManualUpload\.(AHubBackUnderAnotherName|AnotherHubInTheSocketOfABridge)|FleetUpdate\.(AHubWithABlock|CanariesHoldBack)'}
ASAN_SOAK_SEEDS=${ASAN_SOAK_SEEDS:-6}

PACKAGES=(
  build-essential cmake pkg-config g++ clang-14 libclang-rt-14-dev
  libgtest-dev googletest libbenchmark-dev libudev-dev
  libboost-dev libconcurrentqueue-dev
  python3 binutils srecord iproute2 util-linux procps
  dpkg-dev file man-db groff-base gzip lintian ansible-core
  nginx-light openssl ca-certificates
)

scripts/install-deps.sh "${PACKAGES[@]}"

has_stage() { [[ " $STAGES " == *" $1 "* ]]; }
stage_start=$SECONDS
stage_done() { echo "test.sh: $1 took $((SECONDS - stage_start)) s"; stage_start=$SECONDS; }

if has_stage main; then
  cmake -S . -B "$BUILD_DIR" -DTRELK_WERROR=ON -DTRELK_BUILD_BENCH=ON
  cmake --build "$BUILD_DIR" -j "$BUILD_JOBS"
  ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" "$@"
  stage_done "main build and tests"
fi

if has_stage asan; then
  # -fno-sanitize-recover: an undefined-behaviour report ends the process, so
  # it cannot scroll past in a passing test.
  cmake -S . -B "$ASAN_BUILD_DIR" -DTRELK_WERROR=ON -DTRELK_SANITIZE=address,undefined \
    -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=all
  cmake --build "$ASAN_BUILD_DIR" -j "$BUILD_JOBS"
  # exitcode 86: a sanitizer's end is never mistaken for one of trelk's own
  # statuses (the end-to-end tests check those).
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:exitcode=86:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=86 \
  LSAN_OPTIONS=exitcode=86 TRELK_SOAK_SEEDS=$ASAN_SOAK_SEEDS \
    ctest --test-dir "$ASAN_BUILD_DIR" --output-on-failure -j "$JOBS" \
      -R "^unit\.|^e2e\.($ASAN_E2E)"
  stage_done "sanitizer build and tests"
fi

if has_stage fuzz; then
  cmake -S fuzz -B "$FUZZ_BUILD_DIR" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
  cmake --build "$FUZZ_BUILD_DIR" -j "$BUILD_JOBS"
  fuzz/run.sh "$FUZZ_BUILD_DIR" "$FUZZ_SECONDS" "$BUILD_JOBS"
  stage_done "fuzzing"
fi
