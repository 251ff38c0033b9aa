# shellcheck shell=bash disable=SC2034
# Sourced by the benchmarks: their shared options, build, timing and clean-up, and the work
# directory they all time. Uses REPO, DATA, LOG and usage() of the sourcing script; sets the
# defaults below, which the script may change before it parses its options.

BUILD="$REPO/build-bench"
SYNTH="$BUILD/tools/capture_synth"
GIB=1
RUNS=3
KEEP=0

# common_option ARGS...: takes "$1" when it is an option every benchmark has (--gib X, --runs N,
# --data DIR, --keep, -h/--help) and sets SHIFT to the words it used; any other option gets the
# usage on stderr and exit status 2. A script with options of its own matches those first:
#     case "$1" in --only) ...; shift 2 ;; *) common_option "$@"; shift "$SHIFT" ;; esac
common_option() {
    SHIFT=1
    case "$1" in
        --gib) GIB=$2; SHIFT=2 ;;
        --runs) RUNS=$2; SHIFT=2 ;;
        --data) DATA=$2; SHIFT=2 ;;
        --keep) KEEP=1 ;;
        -h|--help) usage; exit 0 ;;
        *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
    esac
}

# parse_options ARGS...: the command line of a benchmark that has only the common options.
parse_options() {
    while [ $# -gt 0 ]; do
        common_option "$@"
        shift "$SHIFT"
    done
}

# check_options: --gib and --runs are numbers; DATA exists and becomes absolute.
check_options() {
    [[ $GIB =~ ^[0-9]*\.?[0-9]+$ ]] || { echo "--gib: expected a number, got '$GIB'" >&2; exit 2; }
    [[ $RUNS =~ ^[1-9][0-9]*$ ]] || { echo "--runs: expected a whole number >= 1, got '$RUNS'" >&2; exit 2; }
    mkdir -p "$DATA"
    DATA=$(cd "$DATA" && pwd)
}

# 8 users of 2 Mbit/s VP8 (640x480, 1,200-byte packets) and 8 of 32 kbit/s Opus write about
# 1.895 MB of capture per second of duration.
BYTES_PER_SECOND=1895000

# make_dir GIB: prints the path of a work directory of about GIB GiB, generated unless an earlier
# run with --keep (of any of the benchmarks) left the same one.
make_dir() {
    local gib=$1
    local dir="$DATA/cap-${gib//./p}"
    local duration
    duration=$(awk -v g="$gib" -v r=$BYTES_PER_SECOND 'BEGIN { printf "%d", g * 1073741824 / r + 0.5 }')
    [ "$duration" -ge 1 ] || duration=1
    local args=(--duration "$duration" --users 8 --width 640 --height 480 --video-kbps 2000
                --mtu 1200 --files 20 --clip-frames 300 --seed 1)
    synth_once "$dir" "generating $gib GiB work directory $dir (${duration} s of capture)" \
        "${args[@]}"
    echo "$dir"
}

# synth_once DIR MESSAGE ARGS...: capture_synth ARGS into DIR, with MESSAGE on stderr, unless DIR
# was made with the same ARGS before (its .params stamp says so; --keep leaves it).
synth_once() {
    local dir=$1 message=$2
    shift 2
    if [ ! -f "$dir/.params" ] || [ "$(cat "$dir/.params")" != "$*" ]; then
        rm -rf "$dir"
        echo "$message" >&2
        "$SYNTH" --out "$dir" --quiet "$@" >>"$LOG"
        echo "$*" >"$dir/.params"
    fi
}

# capture_files DIR: the capture files of DIR, one per line.
capture_files() {
    find "$1" -maxdepth 1 -type f \( -name '*.video' -o -name '*.audio' \) | sort
}

# build_release WHAT TARGET...: builds TARGETs in BUILD as a Release build (WHAT names them in the
# progress line).
build_release() {
    echo "building Release $1 in $BUILD" >&2
    shift
    cmake -S "$REPO" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTRANSCODE_TESTS=ON >>"$LOG"
    cmake --build "$BUILD" -j2 --target "$@" >>"$LOG"
}

# build_tools: a Release converter and the capture tools in BUILD; sets TRANSCODE and EXTRACT.
build_tools() {
    build_release "converter and tools" transcode capture_synth capture_extract
    TRANSCODE="$BUILD/transcode"
    EXTRACT="$BUILD/tools/capture_extract"
}

# remove_data DIR...: for the exit trap without --keep: removes each DIR that holds a .params
# stamp (a generated work directory), LOG, and DATA when that leaves it empty. Only what the
# benchmarks made goes: --data may name a directory that holds other things.
remove_data() {
    local dir
    for dir in "$@"; do
        if [ -f "$dir/.params" ]; then rm -rf "$dir"; fi
    done
    rm -f "$LOG"
    rmdir "$DATA" 2>/dev/null || true
}

# prime_pages DIR BYTES: writes about BYTES into DIR and removes them again (untimed), then syncs.
# On a virtual machine, page-cache pages that have been free for a while are handed back to the
# host and cost about 0.5 s of system time per GiB to write into again (see bench/README.md); a
# run that follows this starts alike with every other one.
prime_pages() {
    dd if=/dev/zero of="$1/prime" bs=1M count=$((($2 >> 20) + 1)) status=none
    rm -f "$1/prime"
    sync
}

# time_in DIR CMD...: one run of CMD in a fresh directory DIR, its stdout dropped and its stderr
# appended to LOG; sets T (wall s), C (user + sys s) and RSS (peak KiB) and returns CMD's status.
time_in() {
    local dir=$1 status=0
    shift
    rm -rf "$dir"
    mkdir -p "$dir"
    sync
    local t0=$EPOCHREALTIME
    (cd "$dir" && /usr/bin/time -v -o "$WORK/tv" "$@" >/dev/null 2>>"$LOG") || status=$?
    local t1=$EPOCHREALTIME
    T=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    C=$(awk -F': ' '/User time|System time/ { s += $2 } END { printf "%.2f", s }' "$WORK/tv")
    RSS=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$WORK/tv")
    return "$status"
}

# median VALUES...: their median, as awk prints a number, or with the printf format MEDIAN_FMT
# when the script sets one (e.g. %.3f).
median() {
    printf '%s\n' "$@" | sort -g | awk -v f="${MEDIAN_FMT:-}" '{ a[NR] = $1 }
        END { if (NR % 2) m = a[(NR + 1) / 2]; else m = (a[NR / 2] + a[NR / 2 + 1]) / 2
              if (f == "") print m; else printf f, m }'
}
