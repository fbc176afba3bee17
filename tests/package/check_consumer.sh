#!/usr/bin/env bash
# Builds and runs a small program against an installed oxl_api, once through
# find_package(oxl_api) and once through pkg-config. Argument: the install prefix.
set -euo pipefail
prefix="$1"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cmake -S "$here/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH="$prefix/lib:$prefix/lib/x86_64-linux-gnu" "$work/cmake/consumer"

libdir="$(dirname "$(find "$prefix" -name oxl_api.pc | head -n1)")"
export PKG_CONFIG_PATH="$libdir"
g++ -std=c++17 "$here/consumer/main.cpp" -o "$work/pc_consumer" $(pkg-config --cflags --libs oxl_api)
LD_LIBRARY_PATH="$libdir/.." "$work/pc_consumer"
readelf -d "$(find "$prefix" -name 'liboxl_api.so.0.*' | head -n1)" | grep -q 'SONAME.*liboxl_api.so.0\]'
echo "consumer builds against the installed package: ok"
