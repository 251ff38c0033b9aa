#!/usr/bin/env bash
# Measures what unwrapping browser streams costs: `transcode -v -a --repair` on the plain work
# directory of bench/bench.sh and on the same media sent the way a browser wraps it (video inside
# RED with an RTX SSRC that probes, repeats and retransmits 1% lost packets, audio inside RED),
# each against `cat` of its capture files into one file. See bench/README.md.
# Run as root on Debian 12 (missing packages are installed with apt-get).
set -euo pipefail
export LC_ALL=C

REPO=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/lib.sh
. "$REPO/bench/lib.sh"
DATA="$REPO/build-bench/streams-data"
WRAP=(--red-pt 118 --rtx-pt 119 --audio-red-pt 63 --ext 3 --drop 0.01 --impair video)

usage() {
    cat <<EOF
Usage: bench/streams_bench.sh [options]

  --gib X        size of each work directory in GiB (default 1)
  --runs N       timed runs of each measurement (default 3)
  --data DIR     where the data and scratch output go (default $DATA)
  --keep         keep the generated directories for the next run
EOF
}

parse_options "$@"
check_options

WORK="$DATA/run"
LOG="$DATA/streams.log"
: >"$LOG"
cleanup() {
    rm -rf "$WORK"
    if [ "$KEEP" -eq 0 ]; then remove_data "$DATA"/cap-* "$DATA"/wrapped-*; fi
}
trap cleanup EXIT

# shellcheck source=/dev/null
. "$REPO/scripts/deps.sh"
ensure_packages "${BUILD_PACKAGES[@]}" time
build_tools

# wrapped_dir GIB: the work directory of make_dir with the browser's wrapping, made unless kept.
wrapped_dir() {
    local plain
    plain=$(make_dir "$1")
    local dir="$DATA/wrapped-${1//./p}"
    local args
    read -r -a args <"$plain/.params"
    args+=("${WRAP[@]}")
    synth_once "$dir" "generating the wrapped work directory $dir" "${args[@]}"
    echo "$dir"
}

# timed CMD...: one run with a fresh output directory; sets T (wall s) and C (user + sys s).
timed() { time_in "$WORK/out" "$@"; }

mkdir -p "$WORK"
PLAIN=$(make_dir "$GIB")
WRAPPED=$(wrapped_dir "$GIB")
echo "streams benchmark, $(date '+%Y-%m-%d %H:%M'), $(nproc) cores, load $(uptime | sed 's/.*load average: //')"
printf "%-44s %10s %12s %8s %8s\n" "run" "median s" "user+sys s" "/ cat" "cpu/cat"
for dir in "$PLAIN" "$WRAPPED"; do
    mapfile -t files < <(capture_files "$dir")
    cat "${files[@]}" >/dev/null
    bytes=$(cat "${files[@]}" | wc -c)
    ct=() cc=() rt=() rc=() dt=() dc=()
    for i in $(seq "$RUNS"); do
        echo "$(basename "$dir"): run $i/$RUNS" >&2
        timed sh -c 'cat "$@" >reference.bin' sh "${files[@]}"; ct+=("$T"); cc+=("$C")
        timed "$TRANSCODE" -p "$dir/" -v -a --repair; rt+=("$T"); rc+=("$C")
        timed "$TRANSCODE" -p "$dir/" -v -a; dt+=("$T"); dc+=("$C")
    done
    name="$(basename "$dir") ($bytes bytes)"
    c=$(median "${ct[@]}") cpu=$(median "${cc[@]}")
    printf "%-44s %10s %12s\n" "cat, $name" "$c" "$cpu"
    for run in repair default; do
        if [ "$run" = repair ]; then
            t=$(median "${rt[@]}") u=$(median "${rc[@]}") label="-v -a --repair"
        else
            t=$(median "${dt[@]}") u=$(median "${dc[@]}") label="-v -a"
        fi
        printf "%-44s %10s %12s %8s %8s\n" "$label" "$t" "$u" \
            "$(awk -v a="$t" -v b="$c" 'BEGIN { printf "%.2f", a / b }')" \
            "$(awk -v a="$u" -v b="$cpu" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')"
    done
done
