#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time, starting from its
# checked-in seed corpus, several targets at once. Fails when any target
# reports a crash, a leak, a per-input timeout, running out of memory or any
# sanitizer finding; the input that caused it is kept in BUILD/artifacts/ and
# the end of the target's log is printed.
#
#   fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET [PARALLEL_TARGETS]]
#
# New inputs the fuzzer finds go to BUILD/corpus/<name>/, never into the
# checked-in seeds. Reproduce a finding with: BUILD/<name>_fuzz ARTIFACT
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: fuzz/run.sh BUILD_DIR [SECONDS [PARALLEL]]}" && pwd)
seconds=${2:-30}
parallel=${3:-$(nproc)}

mapfile -t targets < <(find "$build" -maxdepth 1 -type f -name '*_fuzz' -perm -u+x | sort)
if ((${#targets[@]} == 0)); then
  echo "fuzz/run.sh: no fuzz targets in $build" >&2
  exit 1
fi
mkdir -p "$build/artifacts" "$build/logs"

# Sanitizer reports end the run; libFuzzer turns them into a failing status.
# A small quarantine keeps the package target (sections of ~120 KiB each)
# from faulting in fresh pages on every input.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:quarantine_size_mb=16}

run_one() {
  local target=$1 name
  name=$(basename "$target" _fuzz)
  mkdir -p "$build/corpus/$name"
  local seeds=()
  [[ -d $here/corpus/$name ]] && seeds=("$here/corpus/$name")
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" \
    "$build/corpus/$name" "${seeds[@]}" >"$build/logs/$name.log" 2>&1
}

declare -A pids=()
failed=()
finish_one() {
  local pid=$1 status=$2 name=${pids[$1]}
  if ((status == 0)); then
    echo "fuzz: $name ok ($(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' \
      "$build/logs/$name.log" | grep -o '[0-9]*$') runs)"
  else
    echo "fuzz: $name FAILED; end of $build/logs/$name.log:"
    tail -n 40 "$build/logs/$name.log"
    failed+=("$name")
  fi
  unset "pids[$pid]"
}

for target in "${targets[@]}"; do
  while ((${#pids[@]} >= parallel)); do
    wait -n -p done_pid "${!pids[@]}"
    finish_one "$done_pid" $?
  done
  run_one "$target" &
  pids[$!]=$(basename "$target" _fuzz)
done
for pid in "${!pids[@]}"; do
  wait "$pid"
  finish_one "$pid" $?
done

if ((${#failed[@]})); then
  echo "fuzz: failing targets: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: all ${#targets[@]} targets clean for ${seconds}s each"
