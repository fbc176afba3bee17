#!/usr/bin/env bash
# Installs the Debian packages that building and testing oxl_api need, if any is missing.
# Safe to run any number of times; needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(g++ cmake make pkg-config libserialport-dev libgtest-dev libgmock-dev libbenchmark-dev
          libcli11-dev nlohmann-json3-dev pybind11-dev python3-dev python3-numpy python3-pytest
          cyclonedds-dev cyclonedds-tools libcpp-httplib-dev python3-can can-utils)
if [[ "${1:-}" == "--ci" ]]; then
    # chromium: the browser test of `oxl web`, which is skipped without it, except under CI.
    packages+=(clang clang-format llvm libclang-rt-14-dev chromium)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if ((${#missing[@]} == 0)); then
    exit 0
fi

echo "Installing missing Debian packages: ${missing[*]}"
run_root() {
    if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi
}
run_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
run_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
