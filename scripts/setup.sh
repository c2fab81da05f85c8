#!/usr/bin/env bash
# Installs the build and test dependencies from Debian's packages and builds
# the agent, its tests and benchmarks into build/ (the agent: build/bin/quillmar).
# Usage: scripts/setup.sh [build-dir [extra cmake arguments...]]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake pkg-config
  libcurl4-openssl-dev libjsoncpp-dev
  libgtest-dev googletest libbenchmark-dev
  libssl-dev openssl libspdlog-dev
  iproute2 util-linux python3 curl
  clang libclang-rt-14-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi

build_dir=${1:-build}
shift || true
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build_dir" -j"$(nproc)"
