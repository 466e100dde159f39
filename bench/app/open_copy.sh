#!/usr/bin/env bash
# `cp` of a placeholder of M MiB (default 1024) out of a watched mount, against the client's own
# download of the same file in the same run (what bench/app/download_mount.sh measures: `tidewell
# download` until the item is whole). The copy's open waits while the client downloads the file, then
# cp reads it through the mount. Goal: cp to /dev/null reaches at least 0.9 of the download's rate;
# cp into a file (not flushed, as a person's cp) is printed beside it. Also prints the client's peak
# resident size.
#
#   bench/app/open_copy.sh [MiB] [rounds, default 2]      (uses build/release; scripts/build.sh first)
set -euo pipefail
cd "$(dirname "$0")/../.."
mib="${1:-1024}"
rounds="${2:-2}"
bench_name=open-copy
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
to_placeholder() {
  "$bin/tidewell" remove-download "$1" >/dev/null
  wait_for 120 is_state "$1" Placeholder || { echo "open_copy: no placeholder"; exit 1; }
  sync
}
now() { date +%s.%N; }

file="$vol/big.bin"
head -c $((mib << 20)) /dev/urandom > "$work/source.bin"
cp "$work/source.bin" "$file"
wait_for 1800 is_state "$file" Regular || { echo "open_copy: the upload did not finish"; exit 1; }
wait_for 600 idle

# The copy to /dev/null is the client's share (waiting for the download, then reading through the
# mount), which the goal is about; the copy into a file adds this machine's disk writing the copy.
best_download=0 best_copy=0 best_file=0
for round in $(seq 1 "$rounds"); do
  to_placeholder "$file"
  t0=$(now)
  "$bin/tidewell" download "$file" >/dev/null
  wait_for 1800 is_state "$file" Regular || { echo "open_copy: the download did not finish"; exit 1; }
  t1=$(now)

  to_placeholder "$file"
  t2=$(now)
  cp "$file" /dev/null
  t3=$(now)
  is_state "$file" Regular || { echo "open_copy: the copy did not bring the file down"; exit 1; }

  to_placeholder "$file"
  rm -f "$work/copy.bin"
  t4=$(now)
  cp "$file" "$work/copy.bin"
  t5=$(now)
  cmp -s "$work/source.bin" "$work/copy.bin" || { echo "open_copy: the copy differs from the server's bytes"; exit 1; }
  rm -f "$work/copy.bin"
  read -r best_download best_copy best_file < <(awk -v m="$mib" -v r="$round" \
    -v t0="$t0" -v t1="$t1" -v t2="$t2" -v t3="$t3" -v t4="$t4" -v t5="$t5" \
    -v bd="$best_download" -v bc="$best_copy" -v bf="$best_file" 'BEGIN {
    d = m / (t1 - t0); c = m / (t3 - t2); f = m / (t5 - t4)
    printf "round %d: download %.1f MiB/s, cp of the placeholder to /dev/null %.1f MiB/s, into a file %.1f MiB/s\n", r, d, c, f > "/dev/stderr"
    print (d > bd ? d : bd), (c > bc ? c : bc), (f > bf ? f : bf) }')
done
peak=$(awk '/VmHWM/ {print $2}' "/proc/$app/status")

awk -v m="$mib" -v d="$best_download" -v c="$best_copy" -v f="$best_file" -v peak="$peak" 'BEGIN {
  r = c / d
  printf "cp of a %d MiB placeholder: %.1f MiB/s against the download'"'"'s %.1f MiB/s (best rounds): %.2f (goal >= 0.90); into a file on this disk %.1f MiB/s (%.2f); client peak RSS %.1f MiB: %s\n", m, c, d, r, f, f / d, peak / 1024, (r >= 0.9 ? "PASS" : "MISS")
  exit (r >= 0.9 ? 0 : 1) }'
