#!/usr/bin/env bash
# Builds the Debian packages (libtarvix1, libtarvix-dev, kelvanorm-desk and their -dbgsym packages)
# from debian/ with dpkg-buildpackage, checks what they hold and depend on, and runs lintian on them
# where it is installed, failing on any error or warning:
#   scripts/packages.sh [OUT_DIR]      (default build/packages)
# The build runs in a copy of the tree in a temporary folder: dpkg-buildpackage writes its results
# beside the source folder and its build folder inside it, and neither belongs in the work tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/packages}
mkdir -p "$out"
out=$(cd "$out" && pwd)
jobs=${JOBS:-$(nproc)}
fail() { echo "packages: $*" >&2; exit 1; }
command -v dh >/dev/null && command -v dpkg-buildpackage >/dev/null ||
  fail "debhelper is needed (apt-get install debhelper)"

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvix-debs.XXXXXX")
trap 'rm -rf "$work"' EXIT
version=$(cd "$root" && dpkg-parsechangelog -S Version)
src="$work/tarvix-$version"
mkdir "$src"
# The tree as it stands (uncommitted edits included), without build folders and git's own files.
tar -C "$root" --exclude=./build --exclude='./build-*' --exclude=./.git -cf - . | tar -C "$src" -xf -

echo "packages: building tarvix $version in $work"
if ! (cd "$src" && dpkg-buildpackage -b -uc -us -j"$jobs") >"$work/build.log" 2>&1; then
  tail -n 60 "$work/build.log" >&2
  fail "dpkg-buildpackage failed (the last lines of its log are above)"
fi
rm -f "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out"/
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
changes="$out/tarvix_${version}_$arch.changes"

# ---- what the packages hold
deb() {
  f="$out/$1_${version}_$arch.deb"
  [ -f "$f" ] || { ls "$out" >&2; fail "$1 was not built"; }
  echo "$f"
}
lib=$(deb libtarvix1); dev=$(deb libtarvix-dev); desk=$(deb kelvanorm-desk)
deb libtarvix1-dbgsym >/dev/null; deb kelvanorm-desk-dbgsym >/dev/null
list="$work/list"
holds() {  # holds PACKAGE PATH...: the package holds each path
  pkg=$1; shift
  dpkg-deb -c "$pkg" | awk '{print $6}' | sed 's,^\./,/,' >"$list"
  for p in "$@"; do grep -qx "$p" "$list" || fail "$(basename "$pkg") lacks $p"; done
}
lacks() {  # lacks PACKAGE PATTERN...: no path of the package matches a pattern
  pkg=$1; shift
  dpkg-deb -c "$pkg" | awk '{print $6}' >"$list"
  for p in "$@"; do ! grep -Eq "$p" "$list" || fail "$(basename "$pkg") holds $p"; done
}
holds "$lib" "/usr/lib/$multiarch/libtarvix.so.1" "/usr/lib/$multiarch/libtarvix.so.1.0.0" \
  /usr/share/doc/libtarvix1/copyright /usr/share/doc/libtarvix1/changelog.gz
lacks "$lib" 'tarvix\.h$' 'libtarvix\.so$'
holds "$dev" /usr/include/tarvix.h "/usr/lib/$multiarch/libtarvix.so" "/usr/lib/$multiarch/pkgconfig/tarvix.pc"
holds "$desk" /usr/bin/KELVANORMProgram /usr/bin/hhsim /usr/bin/kelvanorm-create-db \
  /usr/share/applications/kelvanorm-desk.desktop /usr/share/icons/hicolor/scalable/apps/kelvanorm-desk.svg \
  /usr/share/kelvanorm/B.DBF /usr/share/kelvanorm/meter_schema.sql \
  /usr/share/man/man1/KELVANORMProgram.1.gz /usr/share/man/man1/hhsim.1.gz \
  /usr/share/man/man1/kelvanorm-create-db.1.gz
lacks "$desk" 'libtarvix\.so'
# ldconfig runs from debhelper's trigger, not from maintainer scripts.
dpkg-deb --ctrl-tarfile "$lib" | tar -tf - | grep -qx './triggers' || fail "libtarvix1 has no ldconfig trigger"
dpkg-deb --ctrl-tarfile "$lib" | tar -tf - | grep -qx './symbols' || fail "libtarvix1 has no symbols file"

# ---- what they pull in: found from the binaries, plus what no binary names
depends() { dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//'; }
needs() {
  pkg=$1; shift
  for d in "$@"; do
    depends "$pkg" | grep -Eq "^($d)( |$)" || fail "$(basename "$pkg") does not depend on $d: $(dpkg-deb -f "$pkg" Depends)"
  done
}
needs "$lib" 'libc6' 'libstdc\+\+6'
needs "$dev" 'libtarvix1'
needs "$desk" 'libtarvix1' 'libc6' 'libqt6widgets6' 'libqt6sql6' 'libqt6sql6-sqlite' 'libzip4' 'libfreexl1' \
  'libxlsxwriter[0-9a-z]*' 'fonts-wqy-microhei' 'sqlite3'
echo "packages: $(cd "$out" && ls ./*.deb | sed 's,^\./,,' | tr '\n' ' ')in $out"

# ---- lintian (default profile): no error, no warning
if command -v lintian >/dev/null; then
  if ! lintian --fail-on error,warning "$changes"; then
    fail "lintian reports errors or warnings (above)"
  fi
  echo "packages: lintian reports no error and no warning"
else
  echo "packages: lintian is not installed; the packages were not checked by it (apt-get install lintian)"
fi
