#!/usr/bin/env bash
# Builds the program and every test, then runs the whole suite with CTest.
#   BUILD_DIR   build folder (default: build)
#   CMAKE_ARGS  extra arguments for the CMake configuration
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install_deps.sh
build=${BUILD_DIR:-build}
jobs=$(nproc 2>/dev/null || echo 2)
# shellcheck disable=SC2086
cmake -S . -B "$build" -DVENTARQUILLO_TESTS=ON ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j "$jobs"
# A build without tests (GoogleTest missing) is a failure here, not a pass.
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs"
