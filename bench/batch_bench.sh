#!/usr/bin/env bash
# Throughput of one machine converting many recordings with tools/transcode-batch: N work
# directories of M MB each (tools/capture_synth, 8 users of 2 Mbit/s VP8 and 8 of Opus), input in
# the page cache, converted with -j J; prints MB/s and recordings per second.
# Usage: bench/batch_bench.sh [--dirs N] [--mb M] [--jobs J] [--data DIR]
set -euo pipefail
export LC_ALL=C
REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$REPO/build-bench"
DIRS=8 MB=64 JOBS=$(nproc) DATA="$BUILD/batch-data"
while [ $# -gt 0 ]; do
    case $1 in
        --dirs) DIRS=$2; shift 2 ;;
        --mb) MB=$2; shift 2 ;;
        --jobs) JOBS=$2; shift 2 ;;
        --data) DATA=$2; shift 2 ;;
        *) echo "usage: bench/batch_bench.sh [--dirs N] [--mb M] [--jobs J] [--data DIR]" >&2; exit 2 ;;
    esac
done
. "$REPO/scripts/deps.sh"
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
cmake -S "$REPO" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target transcode capture_synth >/dev/null

mkdir -p "$DATA"
trap 'rm -rf "$DATA"' EXIT
# 1 GiB is 540 s of this mix, so M MB is M * 540 / 1074 seconds.
duration=$(awk -v mb="$MB" 'BEGIN { printf "%.1f", mb * 540 / 1074 }')
dirs=()
for i in $(seq 1 "$DIRS"); do
    "$BUILD/tools/capture_synth" --out "$DATA/rec$i" --quiet --seed "$i" --duration "$duration" \
        --users 8 --width 640 --height 480 --video-kbps 2000 --mtu 1200 --files 4 --clip-frames 300
    dirs+=("$DATA/rec$i")
done
bytes=$(cat "$DATA"/rec*/cap_* | wc -c)  # also puts the input into the page cache
start=$EPOCHREALTIME
"$REPO/tools/transcode-batch" -j "$JOBS" --transcode "$BUILD/transcode" "$DATA/out" "${dirs[@]}" \
    >/dev/null
end=$EPOCHREALTIME
awk -v b="$bytes" -v s="$start" -v e="$end" -v n="$DIRS" -v j="$JOBS" -v c="$(nproc)" 'BEGIN {
    t = e - s
    printf "%d recordings, %.0f MB, -j %d on %d cores: %.2f s, %.0f MB/s, %.1f recordings/s\n",
           n, b / 1e6, j, c, t, b / 1e6 / t, n / t }'
