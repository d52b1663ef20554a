#!/bin/bash
# Builds the libFuzzer targets with clang and runs them.
#   scripts/fuzz.sh              each target briefly over its corpus (as in the test suite)
#   scripts/fuzz.sh 3600 [NAME]  each target (or NAME) for that many seconds, keeping new
#                                inputs in build-fuzz/corpus/NAME
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-}
ONLY=${2:-}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DFZ_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)"

if [ -z "$SECONDS_EACH" ]; then
  (cd build-fuzz && ctest --output-on-failure -j"$(nproc)")
  exit 0
fi
for target in build-fuzz/fuzz/fuzz_*; do
  name=$(basename "$target")
  [ -n "$ONLY" ] && [ "$name" != "$ONLY" ] && continue
  short=${name#fuzz_}
  mkdir -p "build-fuzz/corpus/$name"
  cp -rn "fuzz/corpus/$short/." "build-fuzz/corpus/$name/" 2>/dev/null || true
  echo "== $name for ${SECONDS_EACH}s"
  # See fuzz/CMakeLists.txt: libcups may ask for gigabytes for a hostile header.
  asan=""
  [ "$name" = fuzz_raster ] && asan=allocator_may_return_null=1:max_allocation_size_mb=512
  ASAN_OPTIONS=$asan scripts/private_tmp.sh "$target" -max_total_time="$SECONDS_EACH" -rss_limit_mb=2048 -malloc_limit_mb=8192 -timeout=20 -close_fd_mask=2 \
    -print_final_stats=1 "build-fuzz/corpus/$name" 2>&1 | grep -E "stat::number_of_executed_units|Done|ERROR|SUMMARY" || true
done
