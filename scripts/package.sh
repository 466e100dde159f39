#!/usr/bin/env bash
# Builds the Debian packages from a release tree of their own (build/package, no sanitizers, no tests
# or benchmarks) with Debian's hardening flags, then makes them with CPack:
#   build/package/tidewell_VERSION-1_ARCH.deb and build/package/tidewell-devserver_VERSION-1_ARCH.deb
# Usage: scripts/package.sh [extra cmake -D options]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
tree=build/package

# The flags Debian builds its own packages with (fortified functions, stack protector, full RELRO,
# build paths kept out of the binaries).
export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cflags="$(dpkg-buildflags --get CFLAGS) $cppflags"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $cppflags"
ldflags=$(dpkg-buildflags --get LDFLAGS)
# The changelog and the archives are dated by the last commit, so two builds of one commit match.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
fi
export SOURCE_DATE_EPOCH

launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DTIDEWELL_TESTS=OFF -DTIDEWELL_BENCH=OFF -DTIDEWELL_SANITIZE=OFF -DTIDEWELL_TSAN=OFF \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
  -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" "${launcher[@]}" "$@"
cmake --build "$tree" ${TIDEWELL_JOBS:+-j "$TIDEWELL_JOBS"}
rm -f "$tree"/*.deb
(cd "$tree" && cpack -G DEB)
ls -1 "$tree"/*.deb
