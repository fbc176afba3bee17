#!/usr/bin/env bash
# Builds oxl_api and its `oxl` tool in build/, then runs `oxl demo` on the simulated bus
# (no hardware needed). Arguments are passed on to `oxl demo` (e.g. --output plot.svg).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
build="${BUILD_DIR:-build}"
cmake -S . -B "$build"
cmake --build "$build" -j"$(nproc)" --target oxl
"$build/tools/oxl" demo "$@"
