#!/usr/bin/env bash
# Times transcode-pcap on a pcap of about 1 GiB read from the page cache, against cat of the same
# file (into a file beside the output, the same bytes read and written, and into /dev/null). The
# pcap holds the 1 GiB work directory of bench/bench.sh (8 users of VP8 and Opus) as UDP over
# Ethernet, written by tools/capture_pcap. See bench/README.md.
set -euo pipefail
export LC_ALL=C

REPO=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/lib.sh
. "$REPO/bench/lib.sh"
DATA="$REPO/build-bench/pcap-data"
MEDIAN_FMT=%.3f

usage() {
    cat <<EOF
Usage: bench/pcap_bench.sh [--gib X] [--runs N] [--data DIR] [--keep]

  --gib X      size of the capture in GiB (default 1)
  --runs N     timed runs of each command (default 3)
  --data DIR   where the data and scratch output go (default $DATA)
  --keep       keep the generated work directory and pcap for the next run
EOF
}

parse_options "$@"
check_options
. "$REPO/scripts/deps.sh"
ensure_packages "${BUILD_PACKAGES[@]}" libvpx-dev libopusfile-dev libgtest-dev

LOG="$DATA/pcap.log"
: >"$LOG"
OUT="$DATA/out"
cleanup() {
    rm -rf "$OUT"
    if [ "$KEEP" -eq 0 ]; then
        rm -f "$DATA"/*.pcap
        remove_data "$DATA"/cap-*
    fi
}
trap cleanup EXIT

build_release tools transcode-pcap capture_synth capture_pcap

dir=$(make_dir "$GIB")
PCAP="$DATA/cap-${GIB//./p}.pcap"
if [ ! -f "$PCAP" ] || [ "$dir/.params" -nt "$PCAP" ]; then
    echo "writing $PCAP" >&2
    "$BUILD/tools/capture_pcap" "$dir/" "$PCAP"
fi
size=$(stat -c %s "$PCAP")

# seconds CMD...: wall seconds of one run. The output directory is emptied first, and as many
# bytes as the run writes are written into it and removed (untimed), so every run starts alike.
seconds() {
    rm -rf "$OUT"
    mkdir -p "$OUT"
    prime_pages "$OUT" "$size"
    # No run starts while the last one's gigabyte is still being written back.
    sync
    local t0=$EPOCHREALTIME
    "$@" >>"$LOG" 2>&1
    local t1=$EPOCHREALTIME
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
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
