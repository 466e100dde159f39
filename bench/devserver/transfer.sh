#!/usr/bin/env bash
# Baseline for the client's transfer benchmarks: curl uploads a file to tidewell-devserver in one
# multipart request and downloads it again, on loopback. Prints the throughput of each direction and
# the server's peak resident memory (VmHWM), which must stay under 100 MB however large the file is,
# because uploads and downloads are streamed to and from disk.
#
# Usage: bench/devserver/transfer.sh [SIZE]     SIZE in bytes or with a G/M suffix; default 1G.
#        TIDEWELL_DEVSERVER=/path/to/tidewell-devserver to use another build.
set -euo pipefail
cd "$(dirname "$0")/../.."

size_arg="${1:-1G}"
case "$size_arg" in
  *G) bytes=$(( ${size_arg%G} * 1024 * 1024 * 1024 )) ;;
  *M) bytes=$(( ${size_arg%M} * 1024 * 1024 )) ;;
  *)  bytes=$size_arg ;;
esac
limit_kb=$(( 100 * 1024 ))

server="${TIDEWELL_DEVSERVER:-build/release/bin/tidewell-devserver}"
if [ ! -x "$server" ]; then
  echo "bench: building the release server"
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIDEWELL_TESTS=OFF >/dev/null
  cmake --build build/release -j2 --target tidewell-devserver >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tw-devserver-bench.XXXXXX")
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "bench: making a file of $bytes bytes"
head -c "$bytes" /dev/urandom > "$work/source.bin"

"$server" --root "$work/root" --listen 127.0.0.1:0 --user bench:bench --seed demo --quiet \
  > "$work/server.out" 2> "$work/server.err" &
pid=$!
for _ in $(seq 1 100); do
  grep -q '^listening on ' "$work/server.out" 2>/dev/null && break
  sleep 0.1
done
url=$(sed -n 's/^listening on //p' "$work/server.out")
[ -n "$url" ] || { echo "bench: the server did not start"; cat "$work/server.err"; exit 1; }
base="$url/br/sync/1.6"

curl -sS -f -c "$work/cookies" -o /dev/null -X POST --data 'user_id=bench&password=bench' "$base/sessions"

now='2024-01-01T00:00:00.000Z'
read -r up_time up_speed < <(curl -sS -f -b "$work/cookies" -o "$work/entry.json" \
  -H 'Accept: application/json' \
  -F operation=create -F "creation_time=$now" -F "modification_time=$now" -F "size=$bytes" -F revision= \
  -F "file=@$work/source.bin;type=application/octet-stream" \
  -w '%{time_total} %{speed_upload}\n' "$base/folders/Documents/bench.bin")
up_hwm=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")

revision=$(sed -n 's/.*"revision":"\([^"]*\)".*/\1/p' "$work/entry.json")
read -r down_time down_speed < <(curl -sS -f -b "$work/cookies" -o "$work/download.bin" \
  -H 'Accept: application/octet-stream' \
  -w '%{time_total} %{speed_download}\n' "$base/folders/Documents/bench.bin?revision=$revision")
down_hwm=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")

cmp -s "$work/source.bin" "$work/download.bin" || { echo "bench: the downloaded file differs"; exit 1; }
# Plain disk copy of the same file, for scale: the transfers cannot beat it by much.
copy_start=$(date +%s.%N)
cp "$work/source.bin" "$work/copy.bin"
sync "$work/copy.bin" 2>/dev/null || true
copy_time=$(awk -v a="$copy_start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }')

mib() { awk -v n="$1" 'BEGIN { printf "%.1f", n / 1048576 }'; }
echo
printf '%-26s %10s %12s\n' "transfer ($size_arg)" "seconds" "MiB/s"
printf '%-26s %10.2f %12s\n' "curl upload (multipart)" "$up_time" "$(mib "${up_speed%.*}")"
printf '%-26s %10.2f %12s\n' "curl download" "$down_time" "$(mib "${down_speed%.*}")"
printf '%-26s %10.2f %12s\n' "cp on the same disk" "$copy_time" "$(awk -v n="$bytes" -v t="$copy_time" 'BEGIN { printf "%.1f", n / 1048576 / t }')"
echo
echo "server peak resident memory: $(( up_hwm / 1024 )) MiB after the upload, $(( down_hwm / 1024 )) MiB after the download (limit $(( limit_kb / 1024 )) MiB)"
if [ "$down_hwm" -ge "$limit_kb" ]; then
  echo "bench: FAIL: the server kept more than 100 MB resident"
  exit 1
fi
echo "bench: PASS"
