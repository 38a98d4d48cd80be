#!/usr/bin/env bash
# The instance data is shared by every process that has the library loaded, starts at zero with the
# first of them and is gone after the last.
set -euo pipefail
probe=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TARVIX_SHM_NAME="tarvix-test-guard-$$"
export TARVIX_COM1=/nonexistent TARVIX_COM2=/nonexistent TARVIX_COM3=/nonexistent TARVIX_COM4=/nonexistent
export XDG_RUNTIME_DIR="$work"
fail() { echo "FAIL: $*"; exit 1; }

wait_for_line() {  # file
  for _ in $(seq 1 500); do [ -s "$1" ] && return 0; sleep 0.01; done
  fail "no output in $1"
}

# One process holds the library: it is first; every other call, in any process, is not.
"$probe" ex 4242 hold "$work/release1" > "$work/first.out" &
holder=$!
wait_for_line "$work/first.out"
[ "$(head -1 "$work/first.out")" = 64 ] || fail "first instance got $(cat "$work/first.out")"
[ "$("$probe")" = -1 ] || fail "second process was not refused"
out=$("$probe" ex 7)
echo "$out" | grep -qx "restore 4242" || fail "the first window was not restored: $out"
echo "$out" | tail -1 | grep -qx -- "-1" || fail "GetDllVer_Ex in a second process: $out"

# Many processes at once while the holder keeps the data alive: none of them is first.
pids=()
for i in $(seq 1 8); do "$probe" > "$work/many.$i" & pids+=($!); done
wait "${pids[@]}"
[ "$(cat "$work"/many.* | grep -c '^64$' || true)" = 0 ] || fail "a concurrent caller got 64"
touch "$work/release1"
wait "$holder"

# With nobody left, the next load starts afresh; among racing first callers exactly one gets 64.
pids=()
for i in $(seq 1 6); do "$probe" hold "$work/release2" > "$work/race.$i" & pids+=($!); done
for i in $(seq 1 6); do wait_for_line "$work/race.$i"; done
touch "$work/release2"
wait "${pids[@]}"
firsts=$(cat "$work"/race.* | grep -c '^64$' || true)
[ "$firsts" = 1 ] || fail "racing first calls gave $firsts instances of 64"
[ "$("$probe")" = 64 ] || fail "a fresh start did not begin at zero"
echo "instance guard: all checks passed"
