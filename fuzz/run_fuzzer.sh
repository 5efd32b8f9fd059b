#!/bin/sh
# Runs one fuzz target for KREL_FUZZ_SECONDS seconds (default 60; 0 only
# replays the seeds once). New inputs collect in <work>/corpus, a crashing
# input is saved in <work>/artifacts; the seeds in the repository are only
# read.
#   run_fuzzer.sh <fuzzer executable> <seed folder> <work folder> [dictionary]
set -eu
fuzzer=$1
seeds=$2
work=$3
dict=${4:-}
seconds=${KREL_FUZZ_SECONDS:-60}

mkdir -p "$work/corpus" "$work/artifacts" "$work/data"
set -- -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 -close_fd_mask=2 \
    -artifact_prefix="$work/artifacts/"
if [ "$seconds" -gt 0 ]; then
  set -- "$@" -max_total_time="$seconds"
else
  set -- "$@" -runs=0
fi
if [ -n "$dict" ] && [ -f "$dict" ]; then
  set -- "$@" -dict="$dict"
fi
# The data folder of code that logs or saves stays inside the work folder.
KREL_PLAY_DATA_DIR="$work/data" exec "$fuzzer" "$@" "$work/corpus" "$seeds"
