#!/usr/bin/env bash
# Builds and runs the C++ unit tests of the native core (no Python involved).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${CORVANE_CTEST_BUILD_DIR:-build/ctest}
werror=${CORVANE_WERROR:-OFF}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCORVANE_PYTHON=OFF -DCORVANE_BUILD_TESTS=ON -DCORVANE_WERROR="$werror" >/dev/null
cmake --build "$build_dir"
ctest --test-dir "$build_dir/native/core" --output-on-failure
