#!/usr/bin/env bash
# The floor FUSE itself puts under real programs on this machine: the mix of real_programs.sh (git
# clone, checkouts, commit, gc, tar x, rsync, sed -i, vim, sqlite3, cp -r/mv/rm -r; tests/e2e/
# real_programs --plain --folder) in a plain folder, then in a mount of bench/gatewarden/
# bare_passthrough (every operation passed to a backing folder, nothing else done) over a folder on
# the same disk, with the kernel's caching set two ways:
#   a) 1 s timeouts, no writeback cache, cached pages kept, no flush on close: gatewarden's settings
#      (and a1: the same served by one thread instead of gatewarden's pool)
#   b) 60 s timeouts, writeback cache, cached pages kept, no flush on close: the most a daemon without
#      CAP_SYS_ADMIN (so without passthrough of open files) can ask of the kernel here
# and then c) gatewarden alone, with no application connected (mounted in place by tidewell-hdiutil,
# as the client does): the daemon's own cost without questions or uploads.
#
# The machine's other work makes single runs noisy, so each configuration runs ROUNDS times (the
# order turning each round) and the tables take each program's best time: plain best / mount best,
# as real_programs.sh prints (1.0 is no cost), then the overall ratio and the worst program's; each
# round's overall ratio (against that round's plain run) shows the spread.
#
#   bench/app/fuse_floor.sh [short|long] [ROUNDS, default 3]   (uses build/release: the targets
#                                                               bare_passthrough, gatewarden and
#                                                               tidewell-hdiutil)
set -euo pipefail
cd "$(dirname "$0")/../.."
size="${1:-long}"
rounds="${2:-3}"
bin=build/release/bin
for b in bare_passthrough gatewarden tidewell-hdiutil; do
  [ -x "$bin/$b" ] || { echo "fuse_floor: build $b in the release tree first"; exit 1; }
done
# Under /tmp as real_programs.sh, so every folder here is on the disk of its plain run.
work=$(mktemp -d /tmp/tw-fuse-floor.XXXXXX)
# Without a journal, ext4 gives a new file no inode freed in the last minutes: each creation scans past
# all of them in its group, and creating files where many were just removed (by an earlier run here or
# any other work in /tmp) is up to ten times slower (tar x of 2,500 files: 0.07 s in a fresh group,
# 0.5 s under /tmp while other tests run). Marked as the top of a hierarchy, the run's folder sends each
# of its folders to a group of its own, so every configuration starts as clean as the plain run.
chattr +T "$work" 2>/dev/null || true
source bench/app/mix_mounts.sh

plain() {
  mkdir "$work/$1"
  mix "$1" "$work/$1"
}

# RUN, then bare_passthrough's options.
floor() {
  local run=$1; shift
  mkdir "$work/$run-backing" "$work/$run-mnt"
  "$bin/bare_passthrough" "$@" "$work/$run-backing" "$work/$run-mnt" 2> "$work/$run.log" &
  fs_pid=$!
  wait_mounted "$work/$run-mnt" "$work/$run.log"
  mix "$run" "$work/$run-mnt"
  fusermount3 -u "$work/$run-mnt"
  wait "$fs_pid"
  fs_pid=""
}

configs=(plain timeout1 timeout1-1thread timeout60-writeback gatewarden)
run_config() {  # CONFIG ROUND
  case $1 in
    plain) plain "plain-$2" ;;
    timeout1) floor "timeout1-$2" --timeout 1 --keep-cache --noflush ;;
    timeout1-1thread) floor "timeout1-1thread-$2" --timeout 1 --keep-cache --noflush --threads 1 ;;
    timeout60-writeback) floor "timeout60-writeback-$2" --timeout 60 --writeback --keep-cache --noflush ;;
    gatewarden) gatewarden_alone "gatewarden-$2" ;;
  esac
}

echo "fuse_floor: $(uname -r), $(nproc) cores, $size mix, $rounds rounds; load $(cut -d' ' -f1-3 /proc/loadavg) before"
for ((r = 0; r < rounds; r++)); do
  for ((i = 0; i < ${#configs[@]}; i++)); do
    run_config "${configs[(i + r) % ${#configs[@]}]}" "$r"
  done
done
echo "fuse_floor: load $(cut -d' ' -f1-3 /proc/loadavg) after"

python3 - "$work" "$rounds" <<'PY'
import json, os, sys
work, rounds = sys.argv[1], int(sys.argv[2])

def load(config):
    return [json.load(open(os.path.join(work, f"{config}-{r}.json"))) for r in range(rounds)]

def best(runs):
    return {k: min(run[k] for run in runs) for k in runs[0]}

plains = load("plain")
plain = best(plains)
configs = [("timeout1", "a) bare FUSE, 1 s timeouts, no writeback (gatewarden's settings)"),
           ("timeout1-1thread", "a1) as a), served by one thread"),
           ("timeout60-writeback", "b) bare FUSE, 60 s timeouts, writeback cache, keep cache"),
           ("gatewarden", "c) gatewarden alone, no application")]
summary = []
for key, title in configs:
    runs = load(key)
    mount = best(runs)
    print(f"\n{title}: best of {rounds}")
    print(f"{'program':<22} {'plain s':>8} {'mount s':>8} {'plain/mount':>12}")
    worst = None
    for name, t in plain.items():
        if name == "programs" or name not in mount:
            continue
        r = t / mount[name] if mount[name] > 0 else float("inf")
        if worst is None or r < worst[0]:
            worst = (r, name)
        print(f"{name:<22} {t:8.2f} {mount[name]:8.2f} {r:12.2f}")
    p, m = plain["programs"], mount["programs"]
    print(f"{'all':<22} {p:8.2f} {m:8.2f} {p / m:12.2f}")
    each = [pl["programs"] / run["programs"] for pl, run in zip(plains, runs)]
    summary.append((title.split(")")[0], m, p / m, worst, each))
print(f"\nplain: all {plain['programs']:.2f} s at best; each round "
      + " ".join(f"{pl['programs']:.2f}" for pl in plains) + " s")
print(f"{'':<4} {'all s':>7} {'overall':>8} {'worst program':>24}   {'overall in each round':<24}"
      f"(goals 0.5 overall, 0.25 each)")
for label, m, overall, (w, name), each in summary:
    print(f"{label:<4} {m:7.2f} {overall:8.2f} {w:8.2f} {name:>15}   " + " ".join(f"{x:.2f}" for x in each))
PY
