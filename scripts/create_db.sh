#!/bin/sh
# kelvanorm-create-db [FOLDER]: makes an empty meter database db.mdb for the meter desk in FOLDER
# (default: the current folder); an existing db.mdb is left alone.  Installed on the path as
# kelvanorm-create-db and in share/kelvanorm as create_db.sh; in the source tree it is
# scripts/create_db.sh.  Its messages name it as it was run.
set -eu
me=$(basename "$0")
here=$(cd "$(dirname "$0")" && pwd)
# The schema (and the desk's template) lie beside this script in the source tree and in
# share/kelvanorm; installed on the path the script finds them in ../share/kelvanorm.
shared=$here
[ -f "$shared/meter_schema.sql" ] || shared=$(cd "$here/../share/kelvanorm" 2>/dev/null && pwd) || shared=
schema="$shared/meter_schema.sql"
template=/usr/share/kelvanorm/B.DBF
[ -n "$shared" ] && [ -f "$shared/B.DBF" ] && template="$shared/B.DBF"
usage() {
  cat <<USAGE
Usage: $me [FOLDER]
Makes an empty meter database db.mdb for the meter desk KELVANORMProgram in FOLDER (default: the
current folder), from the desk's schema, with sqlite3.  An existing db.mdb is left unchanged.

  -h, --help  print this help and exit

The desk also needs the task-table template B.DBF in that folder:
  cp $template FOLDER
USAGE
}
refuse() {
  echo "$me: $1" >&2
  usage >&2
  exit 2
}

folder=
case $# in
  0) folder=. ;;
  1)
    case "$1" in
      -h | --help) usage; exit 0 ;;
      --) refuse "-- needs a folder after it" ;;
      -*) refuse "unknown option $1" ;;
      "") refuse "the folder name is empty" ;;
      *) folder=$1 ;;
    esac
    ;;
  2)
    [ "$1" = -- ] || refuse "one folder at most"
    [ -n "$2" ] || refuse "the folder name is empty"
    folder=$2
    ;;
  *) refuse "one folder at most" ;;
esac

[ -n "$shared" ] && [ -f "$schema" ] || {
  echo "$me: the schema meter_schema.sql is in neither $here nor $here/../share/kelvanorm" >&2
  exit 1
}

[ -e "$folder" ] || { echo "$me: no folder $folder" >&2; exit 1; }
[ -d "$folder" ] || { echo "$me: $folder is not a folder" >&2; exit 1; }
target="$folder/db.mdb"
if [ -e "$target" ]; then
  echo "$me: $target exists; left unchanged" >&2
  exit 0
fi
[ -w "$folder" ] || { echo "$me: cannot write in $folder" >&2; exit 1; }
command -v sqlite3 >/dev/null || { echo "$me: sqlite3 is needed (apt-get install sqlite3)" >&2; exit 1; }
# Written beside its place and renamed in when complete.
tmp="$folder/.db.mdb.$$"
rm -f "$tmp"
# sqlite3's own words for a failure follow the summary, the temporary named as the database it was to
# become: the operator never sees a name of ours that was gone at once.
named_as_target() {
  rest=$1
  said=
  while :; do
    case $rest in
      *"$tmp"*) said=$said${rest%%"$tmp"*}$target; rest=${rest#*"$tmp"} ;;
      *) break ;;
    esac
  done
  printf '%s\n' "$said$rest"
}
if ! complaint=$(sqlite3 "$tmp" <"$schema" 2>&1 >&3); then
  rm -f "$tmp"
  echo "$me: cannot write db.mdb in $folder" >&2
  [ -z "$complaint" ] || named_as_target "$complaint" >&2
  exit 1
fi 3>&1
if ! mv "$tmp" "$target"; then
  rm -f "$tmp"
  echo "$me: cannot put $target in place" >&2
  exit 1
fi
echo "$me: wrote $target"
