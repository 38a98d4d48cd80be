#!/usr/bin/env bash
# Builds the fuzz preset (clang-14 with libFuzzer, ASan and UBSan) and runs every fuzz target for a while;
# installs the build tools, clang-14 and its runtimes first where they are missing.
# Usage: scripts/fuzz.sh [-j runs at once, default 1] [seconds per target, default 60] [target ...]
# Each target keeps its own corpus, log (build/fuzz/runs/<target>.log) and crash inputs
# (build/fuzz/runs/<target>-crash-*), so that several runs go on side by side (-j), and so can
# invocations for different targets once these are built; each run's summary is printed once all end.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
parallel=1
case "${1:-}" in
    -j) parallel="${2:?-j needs a number}" && shift 2 ;;
    -j*) parallel="${1#-j}" && shift ;;
esac
seconds="${1:-60}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(fuzz_dbf_reader fuzz_pack fuzz_unpack fuzz_mif
        fuzz_tf_frame fuzz_tf_file_info fuzz_tf_command fuzz_tf_usb_block
        fuzz_bf_frame fuzz_bf_replies fuzz_bf_usb_packets fuzz_sysinfo)
fi

# What the fuzz build needs: the build tools (cmake, ninja-build), clang-14 and its libFuzzer and
# sanitizer runtimes (a package clang-14 only recommends).  Installed here when missing, as root on
# Debian, the way scripts/demo.sh installs its packages.
needed=(cmake ninja-build clang-14 libclang-rt-14-dev)
missing=()
if command -v dpkg-query >/dev/null 2>&1; then
    for p in "${needed[@]}"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
    done
elif ! command -v clang++-14 >/dev/null 2>&1; then
    missing=(clang-14)
fi
if [ ${#missing[@]} -gt 0 ]; then
    if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
        echo "== installing ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    else
        echo "fuzz.sh: ${missing[*]} needed: apt-get install ${missing[*]} (as root)" >&2
        exit 1
    fi
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j6 --target "${targets[@]}"

out=build/fuzz/runs
mkdir -p "$out"

seeds_of() {
    case "$1" in
        fuzz_dbf_reader | fuzz_pack) echo "$root/fuzz/seeds/dbf" ;;
        *) echo "$root/fuzz/seeds/${1#fuzz_}" ;;
    esac
}

# One run; its exit status goes to <target>.rc beside its log.
run() {
    local t="$1"
    local corpus="$out/corpus-$t" rc=0
    mkdir -p "$corpus"
    (cd "$out" && "../fuzz/$t" -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$t-" "corpus-$t" "$(seeds_of "$t")" >"$t.log" 2>&1) || rc=$?
    echo "$rc" >"$out/$t.rc"
}

for t in "${targets[@]}"; do
    rm -f "$out/$t.rc"
    echo "== $t: ${seconds} s"
    while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
    run "$t" &
done
wait

status=0
for t in "${targets[@]}"; do
    echo "== $t"
    if [ "$(cat "$out/$t.rc" 2>/dev/null || echo 1)" != 0 ]; then
        echo "   FAILED, see $out/$t.log"
        status=1
    fi
    grep -E '^(stat::number_of_executed_units|Done|==[0-9]+==ERROR|SUMMARY)' "$out/$t.log" || true
done
exit $status
