#!/bin/sh
# Installs a built tree into a temporary prefix and checks what it holds, and checks that debian/
# agrees with the tree (the packages themselves are built by scripts/packages.sh, which takes minutes):
#   check_packages.sh BUILD_DIR PROJECT_VERSION
set -eu
build=$(cd "$1" && pwd)
project_version=$2
source=$(cd "$(dirname "$0")/../.." && pwd)
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
         share/kelvanorm/B.DBF share/kelvanorm/meter_schema.sql share/kelvanorm/create_db.sh \
         share/man/man1/KELVANORMProgram.1 share/man/man1/hhsim.1 share/man/man1/kelvanorm-create-db.1; do
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

# The manual pages format without a complaint from man (lintian reads them the same way).
if command -v man >/dev/null; then
  for page in "$prefix"/share/man/man1/*.1; do
    complaints=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) ||
      fail "man cannot format $(basename "$page")"
    [ -z "$complaints" ] || fail "$(basename "$page"): $complaints"
  done
fi

# ---- debian/
# The package version is the project's.
changelog_version=$(cd "$source" && dpkg-parsechangelog -S Version)
[ "${changelog_version%%-*}" = "$project_version" ] ||
  fail "debian/changelog names $changelog_version, the project is $project_version"
# The symbols file names exactly the library's exported names, so a name added to or dropped from the
# version script cannot ship unrecorded.
sed -n '/global:/,/local:/p' "$source/linklib/api/tarvix.map" | grep -o '[A-Za-z_][A-Za-z0-9_]*;' | tr -d ';' |
  sort >"$work/exported"
grep '^ ' "$source/debian/libtarvix1.symbols" | sed 's/^ *//; s/@.*//' | sort >"$work/recorded"
diff "$work/exported" "$work/recorded" >"$work/symbols.diff" ||
  { cat "$work/symbols.diff" >&2; fail "debian/libtarvix1.symbols and tarvix.map differ (< map, > symbols)"; }
echo "check_packages: install tree holds; debian/ names version $changelog_version and $(wc -l <"$work/exported") symbols"
