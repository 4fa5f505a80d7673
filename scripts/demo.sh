#!/usr/bin/env bash
# trelk's main job on a simulated hub: a manual update of a two-board hub in
# bootloader mode with the sample package that ships with trelk, then what the
# boards hold afterwards.
#
#   scripts/demo.sh
#
# On a fresh Debian 12 machine it first installs what the build needs and
# builds trelk, trelk-hubsim and trelk-pkg in build/ (only what is missing or
# out of date). Once built it takes about 35 seconds, most of them the pauses
# the hub's protocol prescribes after an upload.
#
# Environment: BUILD_DIR (default build), MODEL (hub code of a two-board
# model, default 1030).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build}
MODEL=${MODEL:-1030}
SAMPLE=samples/sample-v3.10.ufw
TRELK=$BUILD_DIR/trelk
HUBSIM=$BUILD_DIR/trelk-hubsim
PKG=$BUILD_DIR/trelk-pkg

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
[[ -t 1 ]] || say() { printf '\n== %s\n' "$*"; }

# --- build what is missing ------------------------------------------------
scripts/install-deps.sh
if [[ ! -f $BUILD_DIR/CMakeCache.txt ]]; then
  say "Configuring the build in $BUILD_DIR"
  cmake -S . -B "$BUILD_DIR" >/dev/null
fi
# Quiet when everything is up to date; the compiler's output when not.
build_log=$(mktemp)
if ! cmake --build "$BUILD_DIR" -j "$(nproc)" --target trelk trelk-hubsim trelk-pkg >"$build_log" 2>&1; then
  cat "$build_log" >&2
  rm -f "$build_log"
  echo "demo.sh: the build failed" >&2
  exit 1
fi
rm -f "$build_log"

# --- the simulated hub --------------------------------------------------------
work=$(mktemp -d /tmp/trelk-demo.XXXXXX)
sim_pid=""
cleanup() {
  if [[ -n $sim_pid ]] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir "$work/dump"
# Paced at the hub's 115200 baud, so the upload takes as long as on a real
# hub; it exits (writing its memories and state) a second after every board
# got its last finish command, or after two minutes without input.
"$HUBSIM" --model "$MODEL" --mode bootloader --fw-version 300 --pace \
  --dump-dir "$work/dump" --exit-after-finish --idle-timeout 120 \
  >"$work/hubsim.out" 2>"$work/hubsim.err" &
sim_pid=$!

port=""
for _ in $(seq 100); do
  port=$(head -n 1 "$work/hubsim.out" 2>/dev/null || true)
  [[ -n $port ]] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if [[ -z $port ]]; then
  cat "$work/hubsim.err" >&2
  echo "demo.sh: trelk-hubsim did not start" >&2
  exit 1
fi

say "A simulated hub (model $MODEL, two boards in bootloader mode, firmware v3.00) on $port"
say "The sample package: $PKG info $SAMPLE"
"$PKG" info "$SAMPLE"

# --- the update, live ------------------------------------------------------
say "The update: $TRELK --fw $SAMPLE --port $port"
set +e
timeout --foreground 300 "$TRELK" --fw "$SAMPLE" --port "$port"
status=$?
set -e
echo
echo "(trelk exit status: $status)"

# The simulator writes its memories and state when it exits: by itself a
# second after a complete update, or when told to.
if [[ $status -eq 0 ]]; then
  for _ in $(seq 100); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
fi
if kill -0 "$sim_pid" 2>/dev/null; then
  kill -TERM "$sim_pid"
fi
wait "$sim_pid" 2>/dev/null || true
sim_pid=""

# --- what the boards hold now ----------------------------------------------
say "What the simulated boards hold now"
state=$work/dump/state.txt
if [[ ! -f $state ]]; then
  cat "$work/hubsim.err" >&2
  echo "demo.sh: trelk-hubsim left no state" >&2
  exit 1
fi
value() { sed -n "s/^$1=//p" "$state"; }
package_version=$(sed -n 's/^version: //p' < <("$PKG" info "$SAMPLE"))
all_match=1
boards=$(value boards)
for ((b = 1; b <= boards; b++)); do
  type=$(value "board$b.type")
  version=$(value "board$b.version")
  shown=$(printf 'v%d.%02d' $((version / 100)) $((version % 100)))
  expected="$work/board$b.expected"
  if "$PKG" image --full "$SAMPLE" "$type" -o "$expected" &&
     cmp -s "$expected" "$work/dump/board$b.bin"; then
    memory="memory matches the package"
  else
    memory="memory DIFFERS from the package"
    all_match=0
  fi
  printf '  board %d: type 0x%s, firmware %s, %s\n' "$b" "${type^^}" "$shown" "$memory"
  [[ $shown == "v$package_version" ]] || all_match=0
done

if [[ $status -eq 0 && $all_match -eq 1 ]]; then
  say "Done: every board runs v$package_version and holds exactly the package's firmware."
  exit 0
fi
echo "demo.sh: the update did not complete (see above)" >&2
exit 1
