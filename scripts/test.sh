#!/usr/bin/env bash
# The one command that runs every test: installs what the machine lacks, builds the test tree
# (build/asan, AddressSanitizer + UndefinedBehaviorSanitizer) and runs CTest inside a private D-Bus
# session. `--tsan` builds build/tsan with ThreadSanitizer instead. Before building, it checks that every
# C++ file the project owns is formatted as .clang-format says. Afterwards it builds and tests the
# Debian packages (scripts/package-test.sh).
# Extra arguments after the options go to ctest (for example -R Timeline) and leave the packages out.
set -euo pipefail
cd "$(dirname "$0")/.."

tree=build/asan
flags=(-DTIDEWELL_SANITIZE=ON)
if [ "${1:-}" = "--tsan" ]; then
  shift
  tree=build/tsan
  flags=(-DTIDEWELL_TSAN=ON)
fi

scripts/install-deps.sh

# Formatting is part of the test: every C++ file the project owns (not build trees, not third-party
# code) must be as clang-format (.clang-format) leaves it.
format_check() {
  local files
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.cc' '*.h' |
      grep -Ev '(^|/)(build|third_party|vendor)/' || true)
  else
    mapfile -t files < <(find . -path ./build -prune -o \( -name '*.cc' -o -name '*.h' \) -print |
      grep -Ev '(^|/)(third_party|vendor)/' || true)
  fi
  [ "${#files[@]}" -eq 0 ] && return 0
  local present=()
  for f in "${files[@]}"; do [ -f "$f" ] && present+=("$f"); done
  if ! clang-format --dry-run -Werror "${present[@]}"; then
    echo "Formatting differs from .clang-format in the files above; run clang-format -i on them." >&2
    return 1
  fi
}
format_check
cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTIDEWELL_BENCH=OFF "${flags[@]}"
cmake --build "$tree"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# Suppressions reach every process a test starts (the client, gatewarden), not just the test binaries.
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$(pwd)/tests/tsan.supp}"

jobs=$(nproc)
run=(ctest --test-dir "$tree" --output-on-failure -j "$jobs" "$@")
if command -v dbus-run-session >/dev/null 2>&1; then
  dbus-run-session -- "${run[@]}"
else
  "${run[@]}"
fi

# The Debian packages: built from their own release tree, inspected, checked by lintian and, as root,
# installed, used and removed by a new user (scripts/package-test.sh). A run narrowed to some tests
# (extra ctest arguments) or TIDEWELL_PACKAGE_TEST=0 leaves it out.
if [ $# -eq 0 ] && [ "$tree" = build/asan ] && [ "${TIDEWELL_PACKAGE_TEST:-1}" != 0 ]; then
  scripts/package-test.sh
fi
