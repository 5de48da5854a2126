#!/usr/bin/env bash
# Developer build: compiles the named extension targets (default: all) in a
# build folder of their own and writes the modules into src/corvane, so that
# `PYTHONPATH=src python -m pytest ...` runs against them without installing.
#   tools/devbuild.sh [target ...]      targets: _orvex32 orvex32 orvex32_dag wrapper fastcodec
# CORVANE_DEV_BUILD_DIR picks the build folder (default build/dev).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${CORVANE_DEV_BUILD_DIR:-build/dev}
if [ ! -f "$build_dir/build.ninja" ]; then
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCORVANE_INPLACE=ON -DCORVANE_BUILD_TESTS=ON \
    -Dpybind11_DIR="$(python -m pybind11 --cmakedir)" \
    -DPython_EXECUTABLE="$(command -v python)" >/dev/null
fi
if [ $# -eq 0 ]; then
  cmake --build "$build_dir"
else
  cmake --build "$build_dir" --target "$@"
fi
