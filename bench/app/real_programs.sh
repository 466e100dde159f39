#!/usr/bin/env bash
# Real programs in a synchronised folder against the same programs elsewhere, in one run: git clone of
# a generated repository of about 4,650 files, checkout 3,000 commits back and back to the tip, a
# commit, git gc, tar x of 2,500 files, rsync -a, sed -i, vim saves, sqlite3 transactions, cp -r/mv/rm
# -r (tests/e2e/real_programs --size long). The columns, each program's seconds:
#   plain      a plain folder on the same disk
#   bindfs     a bare FUSE passthrough of such a folder (bindfs --multithreaded): what FUSE itself costs
#   rclone     rclone mount of such a folder, --vfs-cache-mode writes: what a user might pick instead
#   gatewarden gatewarden alone, mounted in place, no application answering
#   tidewell   the mounted mappoint of the running client (release build, with gatewarden and the
#              reference server on loopback), connected and uploading
# then each mount's overall ratio against plain and Tidewell's against bindfs and rclone (the goals:
# within 0.85 of bindfs and at least as fast as rclone; gatewarden alone within 0.95 of bindfs), the
# time from the end of the programs until the client was idle with the server matching the local tree,
# and the upload rate over a backlog of 2,000 small files made while the client was paused. The
# client's run also checks convergence, git fsck and the database's integrity, as the test does; a
# failed check fails the bench. The reference server keeps its store in memory (/dev/shm) where there
# is room: it stands for another machine, and its own file creations must not be timed as the client's.
# bindfs and rclone are installed here for the bench only (never for the product); a machine without
# them gets their columns empty.
#
# The runs go under /tmp, or under $TW_BENCH_DIR: a file system without a journal (some virtual
# machines' disks) makes every file creation scan past the inodes freed in the last half minute, which
# weighs on the mounts that create most; an ext4 with a journal, as a desktop's, is the fairer floor.
#
#   bench/app/real_programs.sh [short|long]      (uses build/release; scripts/build.sh first)
#   TW_BENCH_DIR=/mnt/ext4 bench/app/real_programs.sh long
set -euo pipefail
cd "$(dirname "$0")/../.."
size="${1:-long}"
bin=build/release/bin
for b in tidewell gatewarden tidewell-hdiutil; do
  [ -x "$bin/$b" ] || { echo "real_programs: build the release tree first (scripts/build.sh)"; exit 1; }
done
if ! command -v bindfs >/dev/null || ! command -v rclone >/dev/null; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get install -y -q bindfs rclone >/dev/null 2>&1 || echo "real_programs: bindfs or rclone could not be installed"
  fi
fi
work=$(mktemp -d "${TW_BENCH_DIR:-/tmp}/tw-real-programs.XXXXXX")
# Without a journal, ext4 gives a new file no inode freed in the last minutes, and each creation scans
# past all of them in its group: a run made right after another's deletions would pay for them. Marked
# as the top of a hierarchy, the run's folders each get a group of their own.
chattr +T "$work" 2>/dev/null || true
source bench/app/mix_mounts.sh

# RUN, then the command that mounts $work/RUN-backing on $work/RUN-mnt and stays in the foreground.
mounted() {
  local run=$1; shift
  mkdir "$work/$run-backing" "$work/$run-mnt"
  "$@" "$work/$run-backing" "$work/$run-mnt" > "$work/$run.log" 2>&1 &
  fs_pid=$!
  wait_mounted "$work/$run-mnt" "$work/$run.log"
  # A peer that fails a program (rclone mount refuses some rmdir while its writes are in flight) gets
  # no column; the bench goes on.
  mix "$run" "$work/$run-mnt" 2> "$work/$run.err" ||
    { echo "real_programs: the programs failed in $run: $(grep -m1 "Failure:" "$work/$run.err" | cut -c1-300)"; rm -f "$work/$run.json"; }
  fusermount3 -u "$work/$run-mnt" 2>/dev/null || fusermount -u "$work/$run-mnt"
  wait "$fs_pid" || true
  fs_pid=""
}

mkdir "$work/plain"
mix plain "$work/plain"
if command -v bindfs >/dev/null; then mounted bindfs bindfs -f --multithreaded; fi
# rclone takes a plain path as a local remote.
if command -v rclone >/dev/null; then
  mounted rclone rclone mount --vfs-cache-mode writes --cache-dir "$work/rclone-cache" \
    --config /dev/null
fi
gatewarden_alone gatewarden
python3 tests/e2e/real_programs --bin "$bin" --size "$size" --work "$work/mount" \
  --times "$work/tidewell.json" | tail -1

python3 - "$work" <<'PY'
import json, os, sys
work = sys.argv[1]
cols = ["plain", "bindfs", "rclone", "gatewarden", "tidewell"]
runs = {c: json.load(open(os.path.join(work, c + ".json")))
        for c in cols if os.path.exists(os.path.join(work, c + ".json"))}
skip = {"programs", "converged", "uploads", "uploads_after_programs", "backlog_files", "backlog_seconds"}
print(f"{'program (seconds)':<22}" + "".join(f"{c:>11}" for c in cols))
def line(name):
    return f"{name:<22}" + "".join(f"{runs[c][name]:11.2f}" if c in runs and name in runs[c] else f"{'-':>11}"
                                  for c in cols)
for name in runs["plain"]:
    if name not in skip:
        print(line(name))
print(line("programs").replace("programs", "all     ", 1))
plain = runs["plain"]["programs"]
print(f"{'plain/mount':<22}" + "".join(f"{plain / runs[c]['programs']:11.2f}" if c in runs else f"{'-':>11}"
                                     for c in cols))
t = runs["tidewell"]["programs"]
if "bindfs" in runs:
    b = runs["bindfs"]["programs"]
    print(f"tidewell against bindfs: {b / t:.2f} (goal 0.85); gatewarden alone against bindfs: "
          f"{b / runs['gatewarden']['programs']:.2f} (goal 0.95)")
if "rclone" in runs:
    print(f"tidewell against rclone mount: {runs['rclone']['programs'] / t:.2f} (goal 1.0 or more)")
mount = runs["tidewell"]
c = mount.get("converged", 0)
after = mount.get("uploads_after_programs", 0)
print(f"server matched {c:.1f}s after the programs ended (goal 10 s); "
      f"{mount.get('uploads', 0)} uploads, {after} after the programs"
      + (f", {after / c:.0f} files/s" if c > 0 else ""))
if mount.get("backlog_seconds"):
    n, s = mount["backlog_files"], mount["backlog_seconds"]
    print(f"a backlog of {n} small files made while paused: uploaded in {s:.1f}s, {n / s:.0f} files/s "
          f"(goal 1000)")
PY
