#!/usr/bin/env bash
# Runs one fuzz target for many executions, its corpus kept between runs: new inputs go to
# build-fuzz/corpus/TARGET, the checked-in seeds of fuzz/corpus/TARGET are read as they are.
# Builds build-fuzz (clang++ 14, as .ci/run does) if needed; ends with the target's executions
# a second. Further arguments go to libFuzzer (e.g. -max_total_time=60).
#
#   fuzz/run-long.sh TARGET [EXECUTIONS] [LIBFUZZER-FLAG]...
#
# TARGET is ini, reader, film, view, admin or relay; EXECUTIONS defaults to 10,000,000 (-1:
# no limit). A crash leaves its input as build-fuzz/TARGET-crash-* and the status non-zero.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
target="${1:?usage: fuzz/run-long.sh TARGET [EXECUTIONS] [LIBFUZZER-FLAG]...}"
runs="${2:-10000000}"
shift $(($# < 2 ? $# : 2))
case "$target" in
  ini | reader | film | view | admin | relay) ;;
  *) echo "run-long.sh: unknown target $target (ini reader film view admin relay)" >&2; exit 2 ;;
esac

build="$root/build-fuzz"
if [[ ! -f "$build/build.ninja" ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DZARNEL_FUZZ=ON \
    -DZARNEL_TESTS=OFF
fi
cmake --build "$build" --target "fuzz_$target"
mkdir -p "$build/corpus/$target"

# The sessions' stores write and sync files for every input: on a memory file system that
# costs the disk nothing.
tmp="${TMPDIR:-/tmp}"
[[ -d /dev/shm && -w /dev/shm ]] && tmp=/dev/shm
log="$build/$target-last-run.log"
status=0
# Recording every allocation's stack and checking printf's arguments cost nearly a third of
# each run. A crash is still caught and its input kept; running the target on that input alone
# (build-fuzz/fuzz_TARGET FILE) reports it with both.
TMPDIR="$tmp" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:malloc_context_size=0:check_printf=0 \
  UBSAN_OPTIONS=print_stacktrace=1 \
  "$build/fuzz_$target" -runs="$runs" -max_len=20000 -print_final_stats=1 \
  -artifact_prefix="$build/$target-" "$@" "$build/corpus/$target" "$root/fuzz/corpus/$target" \
  2>&1 | tee "$log" || status=$?
if ((status)); then
  echo "fuzz_$target: failed (status $status)"
else
  echo "fuzz_$target: $(sed -n 's/^stat::number_of_executed_units: *//p' "$log") executions," \
    "$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log") a second"
fi
exit "$status"
