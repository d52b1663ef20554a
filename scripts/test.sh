#!/bin/bash
# The whole test suite: installs what is needed, builds, and runs every test
# through CTest twice: a normal build, then one with AddressSanitizer and
# UndefinedBehaviorSanitizer. After the normal build the Debian packages are
# built and tried in a fresh Debian 12 root (tests/packages/test_packages.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=$(nproc)

bash scripts/install-deps.sh

echo "== normal build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$JOBS"
(cd build && ctest --output-on-failure -j"$JOBS")

echo "== Debian packages: built, installed into a fresh Debian 12 root, printed with, upgraded, purged"
bash tests/packages/test_packages.sh build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DFZ_SANITIZE=ON
cmake --build build-asan -j"$JOBS"
(cd build-asan && ctest --output-on-failure -j"$JOBS")

echo "== libFuzzer targets, briefly over their corpora"
bash scripts/fuzz.sh
