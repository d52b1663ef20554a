#!/bin/bash
# The benchmark, from one command: builds the filter, the encoder and the
# benchmarks, runs the Google Benchmark kernels (rotation, capture,
# sequencer) and the application's page intake against its encoder, then
# the job benchmark (the filter's cost over its encoder, peak memory). The
# tables of bench/README.md come from its output.
#
#   scripts/bench.sh              default run (under a minute once built)
#   scripts/bench.sh --smoke      smallest configuration (seconds)
#   scripts/bench.sh --jobs-only  [--runs N]  skip the kernels
#   scripts/bench.sh --kernels-only   (the kernels and the application's pages)
#
# Other options go to bench_jobs (see bench/README.md). BUILD_DIR chooses
# the build directory (default build-bench). Needs root (the job benchmark
# mounts a private /tmp) and the Debian packages of scripts/install-deps.sh
# (libbenchmark-dev, ghostscript).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-bench}

kernels=1
jobs=1
smoke=0
args=()
for a in "$@"; do
  case "$a" in
    --jobs-only) kernels=0 ;;
    --kernels-only) jobs=0 ;;
    --smoke) smoke=1; args+=("$a") ;;
    *) args+=("$a") ;;
  esac
done

cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" >/dev/null
if [ ! -x "$BUILD_DIR/bench/bench_jobs" ]; then
  echo "bench: Google Benchmark was not found; install libbenchmark-dev" >&2
  exit 1
fi

if [ "$kernels" = 1 ]; then
  echo "== kernels"
  if [ "$smoke" = 1 ]; then
    "$BUILD_DIR/bench/bench_kernels" --benchmark_min_time=0.01 --benchmark_filter='A5|Capture|Sequencer'
  else
    "$BUILD_DIR/bench/bench_kernels"
  fi
fi
if [ "$kernels" = 1 ]; then
  # The application's intake against its encoder, per page (counter app/enc).
  echo "== application pages"
  if [ "$smoke" = 1 ]; then
    "$BUILD_DIR/bench/bench_app" --benchmark_min_time=0.01 --benchmark_filter='Text_A4_600'
  else
    "$BUILD_DIR/bench/bench_app"
  fi
fi
if [ "$jobs" = 1 ]; then
  echo "== jobs"
  "$BUILD_DIR/bench/bench_jobs" ${args[@]+"${args[@]}"}
fi
