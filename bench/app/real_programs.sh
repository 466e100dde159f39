#!/usr/bin/env bash
# Real programs in a synchronised folder against the same programs in a plain folder, in one run:
# git clone of a generated repository of about 4,650 files, checkout 3,000 commits back and back to
# the tip, a commit, git gc, tar x of 2,500 files, rsync -a, sed -i, vim saves, sqlite3
# transactions, cp -r/mv/rm -r (tests/e2e/real_programs --size long). Prints each program's seconds in
# the plain folder and in the mounted mappoint of the running client (release build, with gatewarden
# and the reference server on loopback), their ratio (plain/mount; 1.0 is no cost), the overall
# ratio, the time from the end of the programs until the client was idle with the server matching
# the local tree, and the client's upload rate meanwhile; then the upload rate on its own, over a
# backlog of 2,000 small files made while the client was paused. The run also checks convergence,
# git fsck and the database's integrity, as the test does; a failed check fails the bench. The reference
# server keeps its store in memory (/dev/shm) where there is room: it stands for another machine, and
# its own file creations must not be timed as the client's.
#
#   bench/app/real_programs.sh [short|long]      (uses build/release; scripts/build.sh first)
set -euo pipefail
cd "$(dirname "$0")/../.."
size="${1:-long}"
bin=build/release/bin
[ -x "$bin/tidewell" ] || { echo "real_programs: build the release tree first (scripts/build.sh)"; exit 1; }
work=$(mktemp -d /tmp/tw-real-programs.XXXXXX)
# Without a journal, ext4 gives a new file no inode freed in the last minutes, and each creation scans
# past all of them in its group: the mount's run, made right after the plain run's deletions, would pay
# for them. Marked as the top of a hierarchy, the run's folders each get a group of their own.
chattr +T "$work" 2>/dev/null || true
trap 'rm -rf "$work"' EXIT

python3 tests/e2e/real_programs --bin "$bin" --size "$size" --plain --work "$work/plain" \
  --times "$work/plain.json" >/dev/null
python3 tests/e2e/real_programs --bin "$bin" --size "$size" --work "$work/mount" \
  --times "$work/mount.json" | tail -1

python3 - "$work/plain.json" "$work/mount.json" <<'PY'
import json, sys
plain, mount = (json.load(open(p)) for p in sys.argv[1:3])
skip = {"programs", "converged", "uploads", "uploads_after_programs", "backlog_files", "backlog_seconds"}
print(f"{'program':<22} {'plain s':>8} {'mount s':>8} {'plain/mount':>12}")
worst = None
for name, t in plain.items():
    if name in skip or name not in mount:
        continue
    r = t / mount[name] if mount[name] > 0 else float("inf")
    worst = r if worst is None else min(worst, r)
    print(f"{name:<22} {t:8.2f} {mount[name]:8.2f} {r:12.2f}")
p, m = plain["programs"], mount["programs"]
print(f"{'all':<22} {p:8.2f} {m:8.2f} {p / m:12.2f}")
print(f"worst program ratio: {worst:.2f} (goal 0.25); overall {p / m:.2f} (goal 0.5)")
c = mount.get("converged", 0)
after = mount.get("uploads_after_programs", 0)
print(f"server matched {c:.1f}s after the programs ended (goal < 60 s); "
      f"{mount.get('uploads', 0)} uploads, {after} after the programs"
      + (f", {after / c:.0f} files/s" if c > 0 else ""))
if mount.get("backlog_seconds"):
    n, s = mount["backlog_files"], mount["backlog_seconds"]
    print(f"a backlog of {n} small files made while paused: uploaded in {s:.1f}s, {n / s:.0f} files/s "
          f"(goal 300)")
PY
