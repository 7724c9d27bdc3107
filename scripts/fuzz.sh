#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each from its committed corpus.
#   scripts/fuzz.sh             smoke run, about 20 seconds a target (part of the test command)
#   scripts/fuzz.sh 600 --keep  longer run; new inputs that add coverage join fuzz/corpus/
# Any crash, leak, sanitizer report or time-out fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
keep=${2:-}
targets=(commandline ini url reply json base64md5 proxy truststore)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DUSAGE_AGENT_FUZZ=ON >/dev/null
cmake --build build-fuzz

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run_target() {
  local target=$1
  mkdir -p "$work/$target"
  # New inputs go to the scratch directory first, so a smoke run leaves the repository alone.
  if ! build-fuzz/fuzz/fuzz-"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$work/$target-" "$work/$target" "fuzz/corpus/$target" \
      >"$work/$target.log" 2>&1; then
    echo "fuzz-$target FAILED:"
    tail -40 "$work/$target.log"
    return 1
  fi
  echo "fuzz-$target: $(grep -Eo 'Done [0-9]+ runs.*' "$work/$target.log" | tail -1)"
  if [ "$keep" = "--keep" ]; then
    build-fuzz/fuzz/fuzz-"$target" -merge=1 "fuzz/corpus/$target" "$work/$target" >/dev/null 2>&1
  fi
}

# Two at a time: one per core.
status=0
pids=()
for target in "${targets[@]}"; do
  run_target "$target" &
  pids+=($!)
  if [ "${#pids[@]}" -ge 2 ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
[ "$status" -eq 0 ] && echo "fuzz: all targets clean"
exit "$status"
