#!/usr/bin/env bash
# Times transcode-pcap on a pcap of about 1 GiB read from the page cache, against cat of the same
# file (into a file beside the output, the same bytes read and written, and into /dev/null). The
# pcap holds the 1 GiB work directory of bench/bench.sh (8 users of VP8 and Opus) as UDP over
# Ethernet, written by tools/capture_pcap. See bench/README.md.
set -euo pipefail
export LC_ALL=C

REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$REPO/build-bench"
SYNTH="$BUILD/tools/capture_synth"
# shellcheck source=bench/lib.sh
. "$REPO/bench/lib.sh"
GIB=1
RUNS=3
DATA="$REPO/build-bench/pcap-data"
KEEP=0

usage() {
    cat <<EOF
Usage: bench/pcap_bench.sh [--gib X] [--runs N] [--data DIR] [--keep]

  --gib X      size of the capture in GiB (default 1)
  --runs N     timed runs of each command (default 3)
  --data DIR   where the data and scratch output go (default $DATA)
  --keep       keep the generated work directory and pcap for the next run
EOF
}

while [ $# -gt 0 ]; do
    case "$1" in
        --gib) GIB=$2; shift 2 ;;
        --runs) RUNS=$2; shift 2 ;;
        --data) DATA=$2; shift 2 ;;
        --keep) KEEP=1; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
    esac
done
check_options
. "$REPO/scripts/deps.sh"
ensure_packages "${BUILD_PACKAGES[@]}" libvpx-dev libopusfile-dev libgtest-dev

LOG="$DATA/pcap.log"
: >"$LOG"
OUT="$DATA/out"
cleanup() {
    rm -rf "$OUT"
    if [ "$KEEP" -eq 0 ]; then
        local stamp
        for stamp in "$DATA"/cap-*/.params; do
            [ -f "$stamp" ] && rm -rf "$(dirname "$stamp")"
        done
        rm -f "$DATA"/*.pcap "$LOG"
        rmdir "$DATA" 2>/dev/null || true
    fi
}
trap cleanup EXIT

echo "building Release tools in $BUILD" >&2
cmake -S "$REPO" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTRANSCODE_TESTS=ON >>"$LOG"
cmake --build "$BUILD" -j2 --target transcode-pcap capture_synth capture_pcap >>"$LOG"

dir=$(make_dir "$GIB")
PCAP="$DATA/cap-${GIB//./p}.pcap"
if [ ! -f "$PCAP" ] || [ "$dir/.params" -nt "$PCAP" ]; then
    echo "writing $PCAP" >&2
    "$BUILD/tools/capture_pcap" "$dir/" "$PCAP"
fi
size=$(stat -c %s "$PCAP")

# seconds CMD...: wall seconds of one run. The output directory is emptied first, and as many
# bytes as the run writes are written into it and removed (untimed): on a virtual machine,
# page-cache pages that have been free for a while are handed back to the host and cost about
# 0.5 s of system time per GiB to write into again (see bench/README.md), so every run starts
# alike.
seconds() {
    rm -rf "$OUT"
    mkdir -p "$OUT"
    dd if=/dev/zero of="$OUT/prime" bs=1M count=$(((size >> 20) + 1)) status=none
    rm -f "$OUT/prime"
    sync
    local t0=$EPOCHREALTIME
    "$@" >>"$LOG" 2>&1
    local t1=$EPOCHREALTIME
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}
median() {
    printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 }
        END { if (NR % 2) printf "%.3f", a[(NR + 1) / 2]; else printf "%.3f", (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}

cat "$PCAP" >/dev/null  # into the page cache
tp=() cf=() cn=()
for _ in $(seq "$RUNS"); do
    tp+=("$(seconds "$BUILD/transcode-pcap" -q "$PCAP" "$OUT")")
    cf+=("$(seconds sh -c "cat '$PCAP' > '$OUT/copy.pcap'")")
    cn+=("$(seconds sh -c "cat '$PCAP' > /dev/null")")
done
t_tp=$(median "${tp[@]}")
t_cf=$(median "${cf[@]}")
t_cn=$(median "${cn[@]}")
printf "pcap: %s (%d MB), %d runs, medians\n" "$PCAP" $((size / 1000000)) "$RUNS"
printf "  %-34s %8s s   (%s)\n" "transcode-pcap -q PCAP OUTDIR" "$t_tp" "${tp[*]}"
printf "  %-34s %8s s   (%s)\n" "cat PCAP > OUTDIR/copy.pcap" "$t_cf" "${cf[*]}"
printf "  %-34s %8s s   (%s)\n" "cat PCAP > /dev/null" "$t_cn" "${cn[*]}"
awk -v a="$t_tp" -v b="$t_cf" -v c="$t_cn" 'BEGIN {
    printf "  transcode-pcap / cat into a file: %.2fx; / cat into /dev/null: %.2fx (target: 2x)\n",
        a / b, a / c }'
