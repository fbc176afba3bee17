#!/usr/bin/env bash
# Builds oxl_api and its `oxl` tool in build/, then runs `oxl demo` on the simulated bus
# (no hardware needed); the plot goes to build/oxl_demo.svg. Arguments are passed on to
# `oxl demo` (e.g. --output plot.svg).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
build="${BUILD_DIR:-build}"
cmake -S . -B "$build"
cmake --build "$build" -j"$(nproc)" --target oxl
# The plot goes into the build folder, not the source tree, unless an --output is given.
output=(--output "$build/oxl_demo.svg")
for arg in "$@"; do
    case "$arg" in -o | --output | --output=*) output=() ;; esac
done
"$build/tools/oxl" demo "${output[@]}" "$@"
