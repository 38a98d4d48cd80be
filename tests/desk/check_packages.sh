#!/bin/sh
# Installs a built tree into a temporary prefix and builds its Debian packages, then checks what they
# hold and what they depend on:  check_packages.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvix-packages.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "check_packages: $*" >&2; exit 1; }

# ---- the install tree
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(cd "$prefix" && ls -d lib/*/pkgconfig lib/pkgconfig 2>/dev/null | head -n1 | xargs dirname)
[ -n "$libdir" ] || fail "no pkg-config folder installed"
for f in bin/KELVANORMProgram bin/hhsim bin/kelvanorm-create-db include/tarvix.h \
         "$libdir/libtarvix.so" "$libdir/libtarvix.so.1" "$libdir/pkgconfig/tarvix.pc" \
         share/applications/kelvanorm-desk.desktop share/icons/hicolor/scalable/apps/kelvanorm-desk.svg \
         share/kelvanorm/B.DBF share/kelvanorm/meter_schema.sql share/kelvanorm/create_db.sh; do
  [ -e "$prefix/$f" ] || fail "install tree lacks $f"
done
[ -x "$prefix/bin/KELVANORMProgram" ] && [ -x "$prefix/bin/hhsim" ] || fail "programs are not executable"
# No build-tree path stays in an installed program.
if readelf -d "$prefix/bin/KELVANORMProgram" | grep -E 'R(UN)?PATH' | grep -q "$build"; then
  fail "KELVANORMProgram keeps the build tree's run path"
fi
# The pkg-config file leads to the installed header and library wherever the tree lies.
cflags=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags tarvix)
libs=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --libs tarvix)
[ -f "$(echo "$cflags" | sed 's/^-I//; s/ *$//')/tarvix.h" ] || fail "pkg-config --cflags gives '$cflags'"
[ -f "$(echo "$libs" | sed 's/^-L//; s/ .*//')/libtarvix.so" ] || fail "pkg-config --libs gives '$libs'"
# The menu entry starts the installed program in the operator's data folder.
grep -qx 'Exec=KELVANORMProgram --home' "$prefix/share/applications/kelvanorm-desk.desktop" ||
  fail "the menu entry does not start the desk in its data folder"
grep -qx 'Icon=kelvanorm-desk' "$prefix/share/applications/kelvanorm-desk.desktop" || fail "menu entry icon"
# The installed database set-up finds its schema.
"$prefix/bin/kelvanorm-create-db" "$work" >/dev/null
[ "$(sqlite3 "$work/db.mdb" 'select count(*) from Meter')" = 0 ] || fail "kelvanorm-create-db made no Meter table"

# ---- the packages
cpack --config "$build/CPackConfig.cmake" -B "$work/debs" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb() { ls "$work/debs"/"$1"_*.deb 2>/dev/null | head -n1; }
lib=$(deb libtarvix1); dev=$(deb libtarvix-dev); desk=$(deb kelvanorm-desk)
[ -n "$lib" ] && [ -n "$dev" ] && [ -n "$desk" ] || { ls "$work/debs" >&2; fail "a package is missing"; }
holds() {  # holds PACKAGE PATTERN...: every pattern matches a path in the package
  pkg=$1; shift
  dpkg-deb -c "$pkg" | awk '{print $6}' >"$work/list"
  for p in "$@"; do grep -Eq "$p" "$work/list" || fail "$(basename "$pkg") lacks $p"; done
}
lacks() {
  pkg=$1; shift
  dpkg-deb -c "$pkg" | awk '{print $6}' >"$work/list"
  for p in "$@"; do ! grep -Eq "$p" "$work/list" || fail "$(basename "$pkg") holds $p"; done
}
holds "$lib" '^\./usr/lib/.*libtarvix\.so\.1$' '^\./usr/lib/.*libtarvix\.so\.1\.0\.0$'
lacks "$lib" 'tarvix\.h$' 'libtarvix\.so$'
holds "$dev" '^\./usr/include/tarvix\.h$' '^\./usr/lib/.*pkgconfig/tarvix\.pc$' '^\./usr/lib/.*libtarvix\.so$'
holds "$desk" '^\./usr/bin/KELVANORMProgram$' '^\./usr/bin/hhsim$' '^\./usr/bin/kelvanorm-create-db$' \
  '^\./usr/share/applications/kelvanorm-desk\.desktop$' '^\./usr/share/icons/hicolor/scalable/apps/kelvanorm-desk\.svg$' \
  '^\./usr/share/kelvanorm/B\.DBF$' '^\./usr/share/kelvanorm/meter_schema\.sql$'
lacks "$desk" 'libtarvix\.so'

# What the packages pull in: found from the binaries, plus what no binary names.
depends() { dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//'; }
needs() {
  pkg=$1; shift
  for d in "$@"; do depends "$pkg" | grep -Eq "^($d)( |$)" || fail "$(basename "$pkg") does not depend on $d: $(dpkg-deb -f "$pkg" Depends)"; done
}
needs "$lib" 'libc6' 'libstdc\+\+6'
needs "$dev" 'libtarvix1'
needs "$desk" 'libtarvix1' 'libc6' 'libqt6widgets6' 'libqt6sql6' 'libqt6sql6-sqlite' 'libzip4' 'libfreexl1' \
  'libxlsxwriter[0-9a-z]*' 'fonts-wqy-microhei' 'sqlite3'
echo "check_packages: install tree and packages $(basename "$lib") $(basename "$dev") $(basename "$desk") hold"
