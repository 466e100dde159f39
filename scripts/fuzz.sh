#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build/fuzz, ASan+UBSan+fuzzer) and runs each for a while.
# Usage: scripts/fuzz.sh [seconds per target, default 300] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-300}
shift || true
scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTIDEWELL_SANITIZE=ON \
  -DTIDEWELL_FUZZ=ON -DTIDEWELL_BENCH=OFF -DTIDEWELL_TESTS=ON
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(sed -n 's/^tidewell_add_fuzzer(\([a-z_0-9]*\).*/\1/p' tests/fuzz/*.cmake)
fi
cmake --build build/fuzz -j2 --target "${targets[@]}"
for t in "${targets[@]}"; do
  mkdir -p "tests/fuzz/corpus-$t"
  seeds=()
  [ -d "tests/fuzz/seeds/$t" ] && seeds=("tests/fuzz/seeds/$t")
  echo "== $t for ${secs}s"
  "build/fuzz/bin/$t" -max_total_time="$secs" -print_final_stats=1 "tests/fuzz/corpus-$t" "${seeds[@]}"
done
