#!/usr/bin/env bash
# Download through a watched mount: the running client (tidewell --headless with gatewarden) fetches
# a placeholder of M MiB (default 1024) into a mounted mappoint, compared in the same run with the
# mount's own sequential write of as many bytes (dd into the volume's system folder, which the
# watcher never reports, so no upload competes), both flushed to disk. Goal: the download reaches at
# least 0.9 of the mount's write rate. Also prints the client's peak resident size.
#
#   bench/app/download_mount.sh [MiB]      (uses build/release; scripts/build.sh first)
set -euo pipefail
cd "$(dirname "$0")/../.."
mib="${1:-1024}"
bench_name=download-mount
# shellcheck source=running_client.sh
source bench/app/running_client.sh

state() { python3 -c 'import os,sys
try: t = os.getxattr(sys.argv[1], "user.com.meridot.tidewell").decode()
except OSError: t = ""
print(next((l[8:] for l in t.splitlines() if l.startswith("Status: ")), ""))' "$1"; }
wait_for() {  # wait_for SECONDS COMMAND...
  local limit=$(( $(date +%s) + $1 )); shift
  until "$@"; do [ "$(date +%s)" -lt "$limit" ] || return 1; sleep 0.05; done
}
is_state() { [ "$(state "$1")" = "$2" ]; }
idle() { "$bin/tidewell" script idle >/dev/null 2>&1; }

# The file reaches the server through the mount, then only a placeholder is left here.
file="$vol/big.bin"
head -c $((mib << 20)) /dev/urandom > "$work/source.bin"
cp "$work/source.bin" "$file"
wait_for 1800 is_state "$file" Regular || { echo "download_mount: the upload did not finish"; exit 1; }
wait_for 600 idle
"$bin/tidewell" remove-download "$file" >/dev/null
wait_for 120 is_state "$file" Placeholder || { echo "download_mount: no placeholder"; exit 1; }
sync

now() { date +%s.%N; }
# Baseline: the mount's own sequential write of as many bytes, flushed.
mkdir -p "$vol/.TemporaryItems"
t0=$(now)
dd if="$work/source.bin" of="$vol/.TemporaryItems/seq.bin" bs=8M conv=fdatasync status=none
t1=$(now)
rm -f "$vol/.TemporaryItems/seq.bin"
sync

t2=$(now)
"$bin/tidewell" download "$file" >/dev/null
wait_for 1800 is_state "$file" Regular || { echo "download_mount: the download did not finish"; exit 1; }
t3=$(now)
cmp -s "$work/source.bin" "$file" || { echo "download_mount: the downloaded bytes differ"; exit 1; }
peak=$(awk '/VmHWM/ {print $2}' "/proc/$app/status")

awk -v m="$mib" -v t0="$t0" -v t1="$t1" -v t2="$t2" -v t3="$t3" -v peak="$peak" 'BEGIN {
  w = t1 - t0; d = t3 - t2; ws = m / w; ds = m / d; r = ds / ws
  printf "mount sequential write %.1f MiB/s, client download through the mount %.1f MiB/s\n", ws, ds
  printf "download %d MiB through a watched mount: %.2f of the mount'"'"'s write (goal >= 0.90), client peak RSS %.1f MiB: %s\n", m, r, peak / 1024, (r >= 0.9 ? "PASS" : "MISS")
  exit (r >= 0.9 ? 0 : 1) }'
