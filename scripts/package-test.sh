#!/usr/bin/env bash
# Builds the Debian packages (scripts/package.sh) and tests them: their content and control data
# (tests/package/inspect.sh), lintian (no errors; warnings are listed), and, as root, a real install,
# use, upgrade and removal by a new unprivileged user (tests/package/install.sh). Exits non-zero when
# any part fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/package.sh
tree=build/package
tests/package/inspect.sh "$tree"

# Errors fail; the warnings are shown so that a new one is noticed (README "Install" lists the ones
# kept and why).
status=0
report=$(lintian --fail-on error "$tree"/*.deb 2>&1) || status=$?
echo "lintian:"
grep -v '^running with root privileges' <<<"$report" | sed 's/^/  /' || true
if [ "$status" -ne 0 ]; then
  echo "lintian reports errors" >&2
  exit 1
fi

tests/package/install.sh "$tree"
