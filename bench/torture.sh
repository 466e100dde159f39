#!/usr/bin/env bash
# The torture run for longer: the real client, gatewarden and the devserver under a seeded workload
# and seeded faults (tests/e2e/torture), in rounds of 150 seconds of workload, each ended by a quiet
# period and the checks, with the seeds SEED, SEED+1, ... until MINUTES have passed (the round under
# way is finished). Delays past the client's request time-out are included, and so are the
# data-safety triggers (kills around same-size edits, edits while tidewell is down, long and non-UTF-8
# names, bursts past gatewarden's report queue, refused case-only renames, placeholders read while
# tidewell is down, files held open across a restart, rounds of held uploads cut by a quit, a kill,
# a pause or a sleep, saves renamed over files whose uploads are held). Further arguments go to the
# harness, e.g. --holes-known-bad for the triggers of known product faults, or --hole-share 0.1 for more of them.
# Uses the sanitizer tree (build/asan), built here if needed, so that a crash or a memory error counts.
#
#   bench/torture.sh [minutes, default 30] [first seed, default 1] [harness options...]
#
# The last line gives the figures of the whole run, ending in "lost: N".
set -euo pipefail
cd "$(dirname "$0")/.."
minutes="${1:-30}"
seed="${2:-1}"
shift $(( $# < 2 ? $# : 2 ))
tree=build/asan
if [ ! -f "$tree/build.ninja" ]; then
  scripts/install-deps.sh
  cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTIDEWELL_BENCH=OFF -DTIDEWELL_SANITIZE=ON
fi
cmake --build "$tree" --target tidewell gatewarden tidewell-devserver tidewell-hdiutil tidewell-mdutil tw-fake-logind
exec python3 tests/e2e/torture --bin "$(pwd)/$tree/bin" --seeds "$seed" --minutes "$minutes" --seconds 150 \
  --long-faults "$@"
