#!/usr/bin/env bash
# Builds oxl_api with its tests, its Python package and `oxl web` in build/ and runs the whole suite with CTest.
# Extra arguments are passed to cmake's configure step (e.g. -DOXL_API_SANITIZER=address),
# and the build folder can be chosen with BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
build="${BUILD_DIR:-build}"
cmake -S . -B "$build" -DOXL_API_BUILD_TESTS=ON -DOXL_API_BUILD_PYTHON=ON -DOXL_API_BUILD_BRIDGE=ON -DOXL_API_BUILD_WEB=ON "$@"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
