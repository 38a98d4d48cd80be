#!/bin/sh
# Creates an empty meter database: scripts/create_db.sh [FOLDER]  (db.mdb in FOLDER, default: here).
# An existing db.mdb is left alone.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
# The schema lies beside this script, in the source tree and in share/kelvanorm; installed on the path
# the script finds it in ../share/kelvanorm.
schema="$here/meter_schema.sql"
[ -f "$schema" ] || schema="$here/../share/kelvanorm/meter_schema.sql"
folder=${1:-.}
target="$folder/db.mdb"
if [ -e "$target" ]; then
  echo "create_db: $target exists; left unchanged" >&2
  exit 0
fi
command -v sqlite3 >/dev/null || { echo "create_db: sqlite3 is needed (apt-get install sqlite3)" >&2; exit 1; }
tmp="$folder/.db.mdb.$$"
rm -f "$tmp"
sqlite3 "$tmp" < "$schema"
mv "$tmp" "$target"
echo "create_db: wrote $target"
