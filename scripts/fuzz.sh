#!/usr/bin/env bash
# Builds the fuzz preset (clang-14 with libFuzzer, ASan and UBSan) and runs every fuzz target for a while.
# Usage: scripts/fuzz.sh [seconds per target, default 60] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
seconds="${1:-60}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then targets=(fuzz_dbf_reader fuzz_pack fuzz_unpack fuzz_mif); fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j6 --target "${targets[@]}"

out=build/fuzz/runs
mkdir -p "$out"
status=0
for t in "${targets[@]}"; do
    corpus="$out/corpus-$t"
    mkdir -p "$corpus"
    case "$t" in
        fuzz_dbf_reader | fuzz_pack) seeds=$root/fuzz/seeds/dbf ;;
        fuzz_unpack) seeds=$root/fuzz/seeds/unpack ;;
        fuzz_mif) seeds=$root/fuzz/seeds/mif ;;
    esac
    echo "== $t: ${seconds} s"
    if ! (cd "$out" && "../fuzz/$t" -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=2048 \
            -print_final_stats=1 "corpus-$t" "$seeds" >"$t.log" 2>&1); then
        echo "   FAILED, see $out/$t.log"
        status=1
    fi
    grep -E '^(stat::number_of_executed_units|Done|==[0-9]+==ERROR|SUMMARY)' "$out/$t.log" || true
done
exit $status
