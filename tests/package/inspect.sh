#!/usr/bin/env bash
# Inspects the Debian packages scripts/package.sh made: every file a user needs is in the right
# package with the right mode, nothing else is (no build output, no static libraries, no headers, no
# build paths inside the binaries), the control data is complete and the dependencies resolve on this
# Debian release. The desktop application's files and the file-manager module are expected when the
# build made them (package-parts.txt, written by packaging/CMakeLists.txt).
# Usage: tests/package/inspect.sh [TREE]   (default build/package)
set -uo pipefail
cd "$(dirname "$0")/../.."
tree=${1:-build/package}
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

client=$(ls "$tree"/tidewell_*.deb 2>/dev/null | head -1)
server=$(ls "$tree"/tidewell-devserver_*.deb 2>/dev/null | head -1)
[ -n "$client" ] || { echo "FAIL: no tidewell_*.deb in $tree (run scripts/package.sh)" >&2; exit 1; }
[ -n "$server" ] || { echo "FAIL: no tidewell-devserver_*.deb in $tree" >&2; exit 1; }
parts=$(cat "$tree/package-parts.txt" 2>/dev/null) || { echo "FAIL: no $tree/package-parts.txt" >&2; exit 1; }
libdir=$(sed -n 's/^libdir=//p' <<<"$parts")
has_part() { grep -qx "$1" <<<"$parts"; }
arch=$(dpkg --print-architecture)
version=$(sed -n 's/^project(Tidewell VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)-1

# --- control data --------------------------------------------------------------------------------
field() { dpkg-deb -f "$1" "$2"; }
for deb in "$client" "$server"; do
  name=$(basename "$deb")
  [ "$(field "$deb" Version)" = "$version" ] || fail "$name: Version $(field "$deb" Version), not $version"
  [ "$(field "$deb" Architecture)" = "$arch" ] || fail "$name: Architecture is not $arch"
  for f in Maintainer Section Priority Installed-Size Description; do
    [ -n "$(field "$deb" $f)" ] || fail "$name: no $f field"
  done
  # A long description besides the one-line summary.
  [ "$(field "$deb" Description | wc -l)" -ge 3 ] || fail "$name: the description has no body"
  # md5sums for dpkg --verify; maintainer scripts executable.
  ctrl=$(dpkg-deb --ctrl-tarfile "$deb" | tar -tvf -)
  grep -q ' \./md5sums$' <<<"$ctrl" || fail "$name: no md5sums"
done
[ "$(field "$client" Package)" = tidewell ] || fail "the client package is not named tidewell"
[ "$(field "$server" Package)" = tidewell-devserver ] || fail "the server package is not named tidewell-devserver"

# Dependencies: computed from what the programs link (so the libraries are there without being
# listed by hand), plus fusermount3's package.
depends=$(field "$client" Depends)
# The package names of a Depends field, one a line (versions and alternatives' bars dropped).
names() { tr ',|' '\n\n' <<<"$1" | awk '{ print $1 }'; }
depends=$(field "$client" Depends)
for d in fuse3 libfuse3-3 libc6 libstdc++6 libcurl4 libsqlite3-0 libsystemd0 libsecret-1-0; do
  names "$depends" | grep -qxF "$d" || fail "tidewell does not depend on $d: $depends"
done
if has_part ui; then
  names "$depends" | grep -qxF libqt6widgets6 || fail "tidewell does not depend on Qt 6 Widgets: $depends"
fi
sdepends=$(field "$server" Depends)
names "$sdepends" | grep -qxF libsqlite3-0 || fail "tidewell-devserver does not depend on libsqlite3-0"
grep -q fuse <<<"$sdepends" && fail "tidewell-devserver depends on FUSE: $sdepends"
ctrl=$(dpkg-deb --ctrl-tarfile "$client" | tar -tvf -)
for s in postinst prerm postrm; do
  grep -Eq "^-rwxr-xr-x root/root .* \./$s$" <<<"$ctrl" || fail "tidewell: $s missing or not 0755"
done
# Every dependency can be met on this release: apt resolves both packages without installing them.
if command -v apt-get >/dev/null 2>&1; then
  if ! out=$(apt-get -s -q -o Debug::NoLocking=1 install "$(realpath "$client")" "$(realpath "$server")" 2>&1); then
    fail "the dependencies do not resolve:"$'\n'"$out"
  fi
fi

# --- contents ------------------------------------------------------------------------------------
# "MODE PATH" for every entry, paths without the leading "./".
listing() { dpkg-deb -c "$1" | awk '{ p = $6; for (i = 7; i <= NF; i++) p = p " " $i; sub(/^\.\//, "", p); print $1, $2, p }'; }
client_list=$(listing "$client")
server_list=$(listing "$server")

# expect LIST MODE PATH-OR-GLOB...: each must match at least one entry with that mode, owned by root.
declare -A claimed
expect() {
  local list=$1 mode=$2
  shift 2
  local pattern found line
  for pattern in "$@"; do
    found=0
    while IFS= read -r line; do
      local m=${line%% *} rest=${line#* }
      local owner=${rest%% *} path=${rest#* }
      # shellcheck disable=SC2053
      if [[ $path == $pattern ]]; then
        found=1
        claimed["$list:$path"]=1
        [ "$m" = "$mode" ] || fail "$path has mode $m, not $mode"
        [ "$owner" = root/root ] || fail "$path is owned by $owner"
      fi
    done < <(if [ "$list" = client ]; then echo "$client_list"; else echo "$server_list"; fi)
    [ "$found" = 1 ] || fail "$list package lacks $pattern"
  done
}
exe=-rwxr-xr-x
file=-rw-r--r--
expect client $exe usr/bin/tidewell usr/bin/gatewarden usr/bin/riseling usr/bin/tidewell-hdiutil \
  usr/bin/tidewell-mdutil
expect client $file usr/lib/systemd/user/gatewarden.service usr/lib/systemd/user/tidewell.service \
  usr/share/applications/com.meridot.tidewell.desktop \
  usr/share/applications/com.meridot.tidewell.open.desktop \
  usr/share/tidewell/autostart/com.meridot.tidewell.Riseling.desktop usr/share/tidewell/VolumeIcon.svg \
  usr/share/doc/tidewell/user-guide.html usr/share/doc/tidewell/copyright \
  usr/share/doc/tidewell/changelog.Debian.gz
for m in tidewell gatewarden riseling tidewell-hdiutil tidewell-mdutil; do
  expect client $file "usr/share/man/man1/$m.1.gz"
done
if has_part ui; then
  expect client $exe usr/bin/tidewell-uninstall
  expect client $file usr/share/man/man1/tidewell-uninstall.1.gz
  expect client $file usr/share/icons/hicolor/scalable/apps/com.meridot.tidewell.svg \
    'usr/share/icons/hicolor/scalable/status/*.svg'
fi
if has_part finder; then
  expect client $file "usr/$libdir/nautilus/extensions-4/*.so" \
    'usr/share/icons/hicolor/scalable/emblems/emblem-tidewell-*.svg'
fi
expect server $exe usr/bin/tidewell-devserver
expect server $file usr/share/man/man1/tidewell-devserver.1.gz usr/share/doc/tidewell-devserver/copyright \
  usr/share/doc/tidewell-devserver/changelog.Debian.gz

# Nothing else: every file is one of the above, every folder is 0755 root/root, and the reference
# server is not in the client's package (nor the client in the server's).
for list in client server; do
  while IFS= read -r line; do
    m=${line%% *} rest=${line#* }
    owner=${rest%% *} path=${rest#* }
    path=${path%/}
    case "$m" in
      d*)
        [ "$m" = drwxr-xr-x ] && [ "$owner" = root/root ] || fail "folder $path is $m $owner"
        ;;
      *)
        [ -n "${claimed[$list:$path]:-}" ] || fail "unexpected file in the $list package: $path ($m)"
        ;;
    esac
  done < <(if [ "$list" = client ]; then echo "$client_list"; else echo "$server_list"; fi)
done

# --- the files themselves ------------------------------------------------------------------------
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$client" "$work/client"
dpkg-deb -x "$server" "$work/server"
src=$(pwd)
build=$(realpath "$tree")
while IFS= read -r -d '' f; do
  rel=${f#"$work"/*/}
  # No path of the machine that built it: no build-tree RPATH, no source or build folder in strings.
  if grep -qaF -e "$src/" -e "$build/" "$f"; then fail "$rel names the build machine's folders"; fi
  if head -c 4 "$f" | grep -q $'^\x7fELF'; then
    dyn=$(readelf -d "$f" 2>/dev/null)
    grep -Eq '\((RPATH|RUNPATH)\)' <<<"$dyn" && fail "$rel has an RPATH or RUNPATH"
    sections=$(readelf -S -W "$f" 2>/dev/null)
    grep -Eq '\.debug_info|\.symtab' <<<"$sections" && fail "$rel is not stripped"
    # Built with Debian's hardening flags: full RELRO and fortified functions.
    grep -q BIND_NOW <<<"$dyn" || grep -q 'FLAGS.*NOW' <<<"$dyn" || fail "$rel is not linked with -z now"
  fi
done < <(find "$work" -type f -print0)

# Every man page is well-formed roff that names its program.
for page in "$work"/client/usr/share/man/man1/*.1.gz "$work"/server/usr/share/man/man1/*.1.gz; do
  name=$(basename "$page" .1.gz)
  zcat "$page" | grep -q '^\.TH ' || fail "man page $name has no .TH"
  zcat "$page" | grep -q "$name" || fail "man page $name does not name $name"
  if command -v groff >/dev/null 2>&1; then
    warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
    [ -z "$warnings" ] || fail "man page $name: $warnings"
  fi
done
zcat "$work/client/usr/share/man/man1/tidewell.1.gz" | groff -man -Tutf8 -P-cbu 2>/dev/null | grep -q 'tidewell confirm-deletes FOLDER' ||
  fail "tidewell(1) does not carry the command list of tidewell --help"

# The units and desktop entries run programs that the package installs.
bindir=/usr/bin
for unit in "$work"/client/usr/lib/systemd/user/*.service; do
  cmd=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
  [ "${cmd%/*}" = "$bindir" ] && [ -x "$work/client$cmd" ] || fail "$(basename "$unit") runs $cmd, not in the package"
done
grep -qx 'Type=notify' "$work/client/usr/lib/systemd/user/gatewarden.service" ||
  fail "gatewarden.service does not wait for the watcher to be ready"
grep -qx 'After=gatewarden.service' "$work/client/usr/lib/systemd/user/tidewell.service" ||
  fail "tidewell.service does not start after gatewarden.service"
for entry in "$work"/client/usr/share/applications/*.desktop "$work"/client/usr/share/tidewell/autostart/*.desktop; do
  cmd=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry" | head -1)
  [ -x "$work/client$bindir/${cmd##*/}" ] || fail "$(basename "$entry") runs $cmd, not in the package"
  if command -v desktop-file-validate >/dev/null 2>&1; then
    out=$(desktop-file-validate "$entry" 2>&1) || fail "$(basename "$entry"): $out"
  fi
done
grep -qx 'Exec=tidewell open %f' "$work/client/usr/share/applications/com.meridot.tidewell.open.desktop" ||
  fail "the open-with entry does not hand its file to tidewell open"
grep -q '^MimeType=' "$work/client/usr/share/applications/com.meridot.tidewell.open.desktop" ||
  fail "the open-with entry names no file type"
grep -qx "Exec=$bindir/riseling" "$work/client/usr/share/tidewell/autostart/com.meridot.tidewell.Riseling.desktop" ||
  fail "the autostart template does not run $bindir/riseling"
"$work/client/usr/bin/gatewarden" --help | grep -q -- '--foreground' || fail "gatewarden --help"

if [ "$failures" -ne 0 ]; then
  echo "package inspection: $failures failure(s)" >&2
  exit 1
fi
echo "package inspection: $(basename "$client") and $(basename "$server") passed ($(wc -l <<<"$client_list") + $(wc -l <<<"$server_list") entries)"
