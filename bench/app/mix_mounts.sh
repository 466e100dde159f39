# Sourced by the benches that run tests/e2e/real_programs' mix in several folders and mounts. They set
# `bin` (the release tree's bin folder), `size` (short or long) and `work` (the run's folder, removed
# at exit) before sourcing this.

fs_pid="" gw_pid=""
cleanup() {
  for m in "$work"/*-mnt "$work"/gatewarden*; do
    if mountpoint -q "$m" 2>/dev/null; then fusermount3 -u -z "$m" 2>/dev/null || umount -l "$m" || true; fi
  done
  for p in $fs_pid $gw_pid; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The programs in FOLDER/area; their times in $work/RUN.json.
mix() {  # RUN FOLDER
  python3 tests/e2e/real_programs --bin "$bin" --size "$size" --plain --folder "$2" --work "$work/$1-work" \
    --times "$work/$1.json" >/dev/null
}

wait_mounted() {  # FOLDER LOG
  for _ in $(seq 200); do
    mountpoint -q "$1" && return 0
    sleep 0.05
  done
  echo "${0##*/}: $1 was not mounted"; cat "$2"; exit 1
}

# The mix in $work/RUN through gatewarden alone, with a runtime folder of its own so that no running
# client finds it and none answers: the daemon's own cost without questions or uploads.
gatewarden_alone() {  # RUN
  local run=$1 rt="$work/$1-rt" folder="$work/$1"
  mkdir -m 700 "$rt"
  mkdir "$folder"
  XDG_RUNTIME_DIR="$rt" "$bin/gatewarden" --foreground 2> "$work/$run.log" &
  gw_pid=$!
  for _ in $(seq 100); do [ -S "$rt/gatewarden-control.sock" ] && break; sleep 0.05; done
  XDG_RUNTIME_DIR="$rt" "$bin/tidewell-hdiutil" attach-in-place "$folder" > /dev/null
  wait_mounted "$folder" "$work/$run.log"
  mix "$run" "$folder"
  XDG_RUNTIME_DIR="$rt" "$bin/tidewell-hdiutil" eject "$folder" > /dev/null
  kill -TERM "$gw_pid"
  wait "$gw_pid" || true
  gw_pid=""
}
