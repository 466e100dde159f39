#!/usr/bin/env bash
# Runs what a person looks at (the desktop application's windows and menus, the file manager's
# emblems) for real under Xvfb and saves each as a PNG in build/screenshots/, so a change to a window
# is judged by looking at it. Each part lives in scripts/screenshots.d/NAME.sh and is run in turn with
# SHOTS (the output folder) and ROOT (the checkout) exported; `scripts/screenshots.sh NAME` runs one.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
SHOTS="$ROOT/build/screenshots"
export ROOT SHOTS
mkdir -p "$SHOTS"

status=0
for part in scripts/screenshots.d/*.sh; do
  [ -e "$part" ] || continue
  name=$(basename "$part" .sh)
  if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then continue; fi
  echo "screenshots: $name"
  if ! bash "$part"; then
    echo "screenshots: $name failed" >&2
    status=1
  fi
done
ls -1 "$SHOTS"/*.png 2>/dev/null || true
exit $status
