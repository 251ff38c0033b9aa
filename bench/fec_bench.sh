#!/usr/bin/env bash
# Measures what FEC recovery costs when nothing is lost: `transcode -v --repair` on captures whose
# video carries FEC (FlexFEC on an SSRC of its own; ULPFEC inside RED), against the same media with
# the FEC left out of the capture and against the same capture converted with --no-fec. See
# bench/README.md. Run as root on Debian 12 (missing packages are installed with apt-get).
set -euo pipefail
export LC_ALL=C

REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$REPO/build-bench"
SYNTH="$BUILD/tools/capture_synth"
# shellcheck source=bench/lib.sh
. "$REPO/bench/lib.sh"
GIB=0.25
RUNS=5
DATA="$REPO/build-bench/fec-data"
KEEP=0

usage() {
    cat <<EOF
Usage: bench/fec_bench.sh [options]

  --gib X        size of the plain work directory in GiB (default 0.25)
  --runs N       timed runs of each measurement, interleaved (default 5)
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
LOG="$DATA/fec.log"
mkdir -p "$DATA"
: >"$LOG"
cleanup() {
    rm -rf "$WORK"
    if [ "$KEEP" -eq 0 ]; then
        local stamp
        for stamp in "$DATA"/cap-*/.params "$DATA"/fec-*/.params; do
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

# variant_dir NAME WRAP...: the work directory of make_dir sent with WRAP, made unless kept.
variant_dir() {
    local name=$1
    shift
    local plain
    plain=$(make_dir "$GIB")
    local dir="$DATA/fec-$name-${GIB//./p}"
    local args
    read -r -a args <"$plain/.params"
    args+=("$@")
    if [ ! -f "$dir/.params" ] || [ "$(cat "$dir/.params")" != "${args[*]}" ]; then
        rm -rf "$dir"
        echo "generating the $name work directory $dir" >&2
        "$SYNTH" --out "$dir" --quiet "${args[@]}" >>"$LOG"
        echo "${args[*]}" >"$dir/.params"
    fi
    echo "$dir"
}

# timed CMD...: one run with a fresh output directory; sets T (wall s), C (user + sys s) and R
# (maximum resident KB).
timed() {
    rm -rf "$WORK/out"
    mkdir -p "$WORK/out"
    sync
    local t0=$EPOCHREALTIME
    (cd "$WORK/out" && /usr/bin/time -v -o "$WORK/tv" "$@" >/dev/null 2>>"$LOG")
    local t1=$EPOCHREALTIME
    T=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    C=$(awk -F': ' '/User time|System time/ { s += $2 } END { printf "%.2f", s }' "$WORK/tv")
    R=$(awk -F': ' '/Maximum resident/ { print $2 }' "$WORK/tv")
}

median() {
    printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 }
        END { if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}

mkdir -p "$WORK"
# FlexFEC comes on an SSRC of its own: without it the capture is the plain one, packet for packet.
# ULPFEC takes numbers of the media sequence inside RED: its FEC-less twin is RED alone.
declare -A DIRS
DIRS[plain]=$(variant_dir plain --ext 3)
DIRS[flexfec]=$(variant_dir flexfec --ext 3 --flexfec-pt 115)
DIRS[red]=$(variant_dir red --ext 3 --red-pt 118)
DIRS[red_ulpfec]=$(variant_dir red-ulpfec --ext 3 --red-pt 118 --ulpfec-pt 120)
CASES=("plain --repair" "flexfec --repair" "flexfec --no-fec" "red --repair" "red_ulpfec --repair"
       "red_ulpfec --no-fec")
declare -A WALL CPU RSS
echo "FEC benchmark, $(date '+%Y-%m-%d %H:%M'), $(nproc) cores, load $(uptime | sed 's/.*load average: //')"
for i in $(seq "$RUNS"); do
    for c in "${CASES[@]}"; do
        read -r name option <<<"$c"
        echo "$c: run $i/$RUNS" >&2
        timed "$TRANSCODE" -p "${DIRS[$name]}/" -v "$option"
        WALL[$c]+="$T " CPU[$c]+="$C " RSS[$c]="$R"
    done
done
printf "%-24s %14s %10s %12s %12s\n" "capture, option" "video bytes" "median s" "user+sys s" "max RSS KB"
for c in "${CASES[@]}"; do
    read -r name _ <<<"$c"
    mapfile -t files < <(capture_files "${DIRS[$name]}" | grep '\.video$')
    bytes=$(cat "${files[@]}" | wc -c)
    # shellcheck disable=SC2086
    printf "%-24s %14s %10s %12s %12s\n" "$c" "$bytes" "$(median ${WALL[$c]})" "$(median ${CPU[$c]})" \
        "${RSS[$c]}"
done
