#!/bin/sh
# Creates an empty meter database: scripts/create_db.sh [FOLDER]  (db.mdb in FOLDER, default: here).
# An existing db.mdb is left alone.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
folder=${1:-.}
target="$folder/db.mdb"
if [ -e "$target" ]; then
  echo "create_db: $target exists; left unchanged" >&2
  exit 0
fi
command -v sqlite3 >/dev/null || { echo "create_db: sqlite3 is needed (apt-get install sqlite3)" >&2; exit 1; }
tmp="$folder/.db.mdb.$$"
rm -f "$tmp"
sqlite3 "$tmp" < "$here/meter_schema.sql"
mv "$tmp" "$target"
echo "create_db: wrote $target"
