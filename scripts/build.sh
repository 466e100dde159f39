#!/usr/bin/env bash
# Builds the release tree (build/release, executables in build/release/bin).
# Usage: scripts/build.sh [extra cmake -D options]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIDEWELL_TESTS=OFF "$@"
cmake --build build/release
