#!/usr/bin/env bash
# Builds and runs a small program against an installed oxl_api, once through
# find_package(oxl_api), twice through pkg-config (C++17 and C++20), then against this source tree
# added with add_subdirectory. Argument: the install prefix.
set -euo pipefail
prefix="$1"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cmake -S "$here/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH="$prefix/lib:$prefix/lib/x86_64-linux-gnu" "$work/cmake/consumer"

libdir="$(dirname "$(find "$prefix" -name oxl_api.pc | head -n1)")"
# pkg-config sees this package alone: no public header needs libserialport's development files,
# and the consumer's own -std must hold (main.cpp checks __cplusplus against the expected value).
export PKG_CONFIG_PATH="$libdir" PKG_CONFIG_LIBDIR="$libdir"
flags="$(pkg-config --cflags --libs oxl_api)"
pkg-config --static --libs oxl_api | grep -q -- '-lserialport'
for std in 17:201703L 20:202002L; do
    g++ -std=c++"${std%%:*}" -DOXL_CONSUMER_CPLUSPLUS="${std#*:}" "$here/consumer/main.cpp" \
        -o "$work/pc_consumer" $flags
    LD_LIBRARY_PATH="$libdir/.." "$work/pc_consumer"
done
readelf -d "$(find "$prefix" -name 'liboxl_api.so.0.*' | head -n1)" | grep -q 'SONAME.*liboxl_api.so.0\]'
if [[ -x "$prefix/bin/oxl" ]]; then
    # The tool comes with its bash completion and manual page, as the build wrote them.
    bash -n "$prefix/share/bash-completion/completions/oxl"
    grep -q '^complete -F _oxl oxl$' "$prefix/share/bash-completion/completions/oxl"
    grep -q '^\.TH OXL 1' "$prefix/share/man/man1/oxl.1"
fi
echo "consumer builds against the installed package: ok"

# Built from source, the library needs libserialport's own pkg-config file again.
unset PKG_CONFIG_PATH PKG_CONFIG_LIBDIR
cmake -S "$here/consumer" -B "$work/subproject" -DOXL_API_SOURCE_DIR="$here/../.." >/dev/null
cmake --build "$work/subproject" -j"$(nproc)" >/dev/null
"$work/subproject/consumer"
echo "consumer builds with oxl_api as a subproject: ok"
