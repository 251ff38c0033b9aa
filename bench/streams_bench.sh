#!/usr/bin/env bash
# Measures what unwrapping browser streams costs: `transcode -v -a --repair` on the plain work
# directory of bench/bench.sh and on the same media sent the way a browser wraps it (video inside
# RED with an RTX SSRC that probes, repeats and retransmits 1% lost packets, audio inside RED),
# each against `cat` of its capture files into one file. See bench/README.md.
# Run as root on Debian 12 (missing packages are installed with apt-get).
set -euo pipefail
export LC_ALL=C

REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$REPO/build-bench"
SYNTH="$BUILD/tools/capture_synth"
# shellcheck source=bench/lib.sh
. "$REPO/bench/lib.sh"
GIB=1
RUNS=3
DATA="$REPO/build-bench/streams-data"
KEEP=0
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

WORK="$DATA/run"
LOG="$DATA/streams.log"
: >"$LOG"
cleanup() {
    rm -rf "$WORK"
    if [ "$KEEP" -eq 0 ]; then
        local stamp
        for stamp in "$DATA"/cap-*/.params "$DATA"/wrapped-*/.params; do
            [ -f "$stamp" ] && rm -rf "$(dirname "$stamp")"
        done
        rm -f "$LOG"
        rmdir "$DATA" 2>/dev/null || true
    fi
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
    if [ ! -f "$dir/.params" ] || [ "$(cat "$dir/.params")" != "${args[*]}" ]; then
        rm -rf "$dir"
        echo "generating the wrapped work directory $dir" >&2
        "$SYNTH" --out "$dir" --quiet "${args[@]}" >>"$LOG"
        echo "${args[*]}" >"$dir/.params"
    fi
    echo "$dir"
}

# timed CMD...: one run with a fresh output directory; sets T (wall s) and C (user + sys s).
timed() {
    rm -rf "$WORK/out"
    mkdir -p "$WORK/out"
    sync
    local t0=$EPOCHREALTIME
    (cd "$WORK/out" && /usr/bin/time -v -o "$WORK/tv" "$@" >/dev/null 2>>"$LOG")
    local t1=$EPOCHREALTIME
    T=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    C=$(awk -F': ' '/User time|System time/ { s += $2 } END { printf "%.2f", s }' "$WORK/tv")
}

median() {
    printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 }
        END { if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}

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
