#!/usr/bin/env bash
# Times transcode-pcap on a pcap of about 1 GiB read from the page cache, against cat of the same
# file (into a file beside the output, the same bytes read and written, and into /dev/null). The
# pcap holds the 1 GiB work directory of bench/bench.sh (8 users of VP8 and Opus) as UDP over
# Ethernet, written by tools/capture_pcap. Then the bounds on hostile pcaps (bench/pcap_cases.py):
# time linear in streams and senders, memory within its bound. See bench/README.md.
set -euo pipefail
export LC_ALL=C

REPO=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/lib.sh
. "$REPO/bench/lib.sh"
DATA="$REPO/build-bench/pcap-data"
MEDIAN_FMT=%.3f

usage() {
    cat <<EOF
Usage: bench/pcap_bench.sh [--gib X] [--runs N] [--data DIR] [--keep] [--bounds-only]

  --gib X      size of the capture in GiB (default 1)
  --runs N     timed runs of each command (default 3)
  --data DIR   where the data and scratch output go (default $DATA)
  --keep       keep the generated work directory and pcap for the next run
  --bounds-only  only the bounds on hostile pcaps, not the 1 GiB timing
EOF
}

BOUNDS_ONLY=0
while [ $# -gt 0 ]; do
    if [ "$1" = --bounds-only ]; then
        BOUNDS_ONLY=1
        shift
        continue
    fi
    common_option "$@"
    shift "$SHIFT"
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
        rm -f "$DATA"/*.pcap
        remove_data "$DATA"/cap-*
    fi
}
trap cleanup EXIT

build_release tools transcode-pcap capture_synth capture_pcap

# bound NAME LIMIT VALUE UNIT: one line, and whether VALUE is within LIMIT.
bounds_failed=0
bound() {
    local verdict=within
    awk -v v="$3" -v l="$2" 'BEGIN { exit !(v <= l) }' || { verdict=OVER; bounds_failed=1; }
    printf "  %-66s %8s %s (bound %s: %s)\n" "$1" "$3" "$4" "$2" "$verdict"
}

# measure CMD...: "seconds peak-KB" of one run into an empty output folder.
measure() {
    rm -rf "$OUT"
    /usr/bin/time -f "%e %M" -o "$DATA/time.txt" "$@" >>"$LOG" 2>&1 || true
    tail -n 1 "$DATA/time.txt"  # after "Command exited with non-zero status N", if any
}

bounds() {
    local cases="$REPO/bench/pcap_cases.py" tp="$BUILD/transcode-pcap"
    python3 "$cases" ssrcs 16384 "$DATA/ssrcs16k.pcap"
    python3 "$cases" ssrcs 65536 "$DATA/ssrcs64k.pcap"
    python3 "$cases" senders 65536 "$DATA/senders64k.pcap"
    python3 "$cases" headers 2000000 "$DATA/headers2m.pcap"
    local users=()
    for i in $(seq 1 20000); do users+=(-u "$((i + 100000))=$((i + 100000))"); done
    local s16 s64 m64 snd snd_u json hdr sdp sdp_kb
    read -r s16 _ < <(measure "$tp" -q "$DATA/ssrcs16k.pcap" "$OUT")
    read -r s64 m64 < <(measure "$tp" -q "$DATA/ssrcs64k.pcap" "$OUT")
    read -r snd _ < <(measure "$tp" -q "$DATA/senders64k.pcap" "$OUT")
    read -r snd_u _ < <(measure "$tp" -q "${users[@]}" "$DATA/senders64k.pcap" "$OUT")
    read -r _ json < <(measure "$tp" -q --json "$DATA/out.json" "$DATA/ssrcs64k.pcap" "$OUT")
    read -r _ hdr < <(measure "$tp" -q "$DATA/headers2m.pcap" "$OUT")
    read -r sdp sdp_kb < <(measure "$tp" -q --sdp /dev/zero "$DATA/ssrcs16k.pcap" "$OUT")
    rm -f "$DATA"/ssrcs*.pcap "$DATA"/senders64k.pcap "$DATA"/headers2m.pcap "$DATA/out.json"
    echo "bounds (seconds, peak KB):"
    # Runs this short are mostly the process's start: absolute bounds, far below the quadratic
    # times (tens of seconds), say more than a ratio would.
    bound "16,384 one-packet SSRCs: s" 1 "$s16" s
    bound "65,536 one-packet SSRCs: s" 1 "$s64" s
    bound "65,536 senders: s" 2 "$snd" s
    bound "65,536 senders with 20,000 -u: s" 2 "$snd_u" s
    bound "--sdp /dev/zero: s" 1 "$sdp" s
    bound "--sdp /dev/zero: peak KB" 16384 "$sdp_kb" KB
    bound "2,000,000 header-only packets at one time: peak KB (64 MiB queue)" 98304 "$hdr" KB
    bound "--json with 65,536 streams: peak KB" 65536 "$json" KB
    bound "65,536 streams without --json: peak KB" 65536 "$m64" KB
}

if [ "$BOUNDS_ONLY" -eq 1 ]; then
    bounds
    exit "$bounds_failed"
fi

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
bounds
exit "$bounds_failed"
