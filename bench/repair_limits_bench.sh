#!/usr/bin/env bash
# Measures the repair mode's limits on hostile captures, made here by a small generator: the output
# that audio timestamps alone can cause, the peak memory of many users with one packet each and of
# records far longer than any RTP packet, and the time of a sequence number stride against the same
# packets in order. See bench/README.md.
# Run as root on Debian 12 (missing packages are installed with apt-get).
set -euo pipefail
export LC_ALL=C

REPO=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/lib.sh
. "$REPO/bench/lib.sh"
DATA="$REPO/build-bench/limits-data"
PARTS="gaps users long stride"

usage() {
    cat <<USAGE
Usage: bench/repair_limits_bench.sh [options]

  --runs N       timed runs of each stride measurement (default 3)
  --data DIR     where the captures and scratch output go (default $DATA)
  --only PARTS   comma list of gaps, users, long, stride (default: all four)

TRANSCODE_BIN=PATH in the environment measures that converter instead of building one.
USAGE
}

while [ $# -gt 0 ]; do
    case "$1" in
        --runs) RUNS=$2; shift 2 ;;
        --data) DATA=$2; shift 2 ;;
        --only) PARTS=${2//,/ }; shift 2 ;;
        -h|--help) usage; exit 0 ;;
        *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
    esac
done
check_options

WORK="$DATA/limits"
LOG="$DATA/limits.log"
cleanup() {
    rm -rf "$WORK"
    rm -f "$LOG"
    rmdir "$DATA" 2>/dev/null || true
}
trap cleanup EXIT
mkdir -p "$WORK"
: >"$LOG"

# shellcheck source=/dev/null
. "$REPO/scripts/deps.sh"
ensure_packages "${BUILD_PACKAGES[@]}" python3 time
if [ -z "${TRANSCODE_BIN:-}" ]; then
    build_tools
else
    TRANSCODE=$TRANSCODE_BIN  # a converter built elsewhere, e.g. an older one to compare with
fi

# gen DIR KIND SHAPE COUNT: writes DIR/cap_1.KIND, one capture file of COUNT records of SHAPE:
#   gaps     one audio user, 20 ms Opus packets (3 payload bytes) whose timestamps step by just
#            under 5 minutes
#   gaps120  the same with 2-byte packets of 120 ms (6 empty 20 ms frames): the most time per byte
#   users    COUNT audio users with one 20 ms packet each
#   long     one user, records of 1 MiB
#   max      one user, records of 65,535 bytes, the longest RTP packet
#   stride   one audio user, 20 ms packets whose sequence number steps by 4095
#   inorder  the same packets numbered one by one
gen() {
    mkdir -p "$1"
    python3 - "$1/cap_1.$2" "$2" "$3" "$4" <<'PY'
import struct, sys
path, kind, shape, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
out = bytearray()
def rtp(seq, ts, ssrc, payload, pt):
    return struct.pack(">BBHII", 0x80, pt, seq & 0xFFFF, ts & 0xFFFFFFFF, ssrc) + payload
def record(uid, packet):
    if kind == "audio":
        return struct.pack("<QII", 0, uid, len(packet)) + packet
    return struct.pack("<II", len(packet), uid) + packet
for i in range(count):
    uid, seq, ts, payload = 7, i, i * 960, b"\xf8\xff\xfe"
    if shape == "gaps":
        ts = i * (48000 * 300 - 960)
    elif shape == "gaps120":
        ts, payload = i * (48000 * 300 - 5760), b"\xfb\x06"
    elif shape == "users":
        uid = 1000 + i
    elif shape == "long":
        payload = bytes(1 << 20)
    elif shape == "max":
        payload = bytes(65535 - 12)
    elif shape == "stride":
        seq = i * 4095
    out += record(uid, rtp(seq, ts, 0x1234, payload, 96 if kind == "video" else 111))
open(path, "wb").write(out)
PY
}

# run DIR OUT ARGS...: the converter on DIR into a fresh OUT; sets T (wall s), RSS (peak KiB),
# BYTES (bytes written) and ST (exit status: 2 when some output files could not be opened, as
# with more users than open files allowed).
run() {
    local dir=$1 out=$2
    shift 2
    rm -rf "$out"
    mkdir -p "$out"
    local t0=$EPOCHREALTIME
    ST=0
    (cd "$out" && /usr/bin/time -v -o "$WORK/tv" "$TRANSCODE" -p "$dir/" "$@" >/dev/null 2>>"$LOG") ||
        ST=$?
    local t1=$EPOCHREALTIME
    T=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    RSS=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$WORK/tv")
    BYTES=$(find "$out" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
}

size_of() { stat -c %s "$1"/cap_1.*; }

FMT="%-40s %10s %12s %10s %8s\n"
gaps_part() {
    echo
    echo "== output of hostile audio timestamps (10,000 packets, each gap just under 5 minutes)"
    echo "   bound: output bytes <= 4 x input bytes + 1 MiB"
    # shellcheck disable=SC2059
    printf "$FMT" "capture, run" "input B" "output B" "bound B" "wall s"
    local shape in args
    for shape in gaps gaps120; do
        gen "$WORK/$shape" audio "$shape" 10000
        in=$(size_of "$WORK/$shape")
        for args in "-a" "-a --repair" "-a --repair --webm"; do
            # shellcheck disable=SC2086
            run "$WORK/$shape" "$WORK/out" $args
            # shellcheck disable=SC2059
            printf "$FMT" "$shape, $args" "$in" "$BYTES" "$((4 * in + 1048576))" "$T"
        done
    done
}

MFMT="%-44s %14s %14s\n"
users_part() {
    echo
    echo "== peak memory of 20,000 audio users with one packet each"
    gen "$WORK/users" audio users 20000
    echo "   capture: $(size_of "$WORK/users") bytes; bound: 1.5 x the plain run"
    # Every user's file stays open during the pass.
    ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
    echo "   open files allowed: $(ulimit -n)"
    # shellcheck disable=SC2059
    printf "$MFMT" "run" "peak RSS KiB" "/ plain run"
    local plain="" args
    for args in "-a" "-a --repair" "-a --reorder-window 4096"; do
        # shellcheck disable=SC2086
        run "$WORK/users" "$WORK/out" $args
        [ -n "$plain" ] || plain=$RSS
        # shellcheck disable=SC2059
        printf "$MFMT" "$args (status $ST)" "$RSS" \
            "$(awk -v a="$RSS" -v b="$plain" 'BEGIN { printf "%.2f", a / b }')"
    done
}

long_part() {
    echo
    echo "== peak memory of 512 video records of one user, all held by the reorder stage"
    echo "   bound with --repair: plain run + 512 x 65,535 B held by the reorder stage + 8 MiB"
    echo "   held while the video codec is undecided = plain + 40,960 KiB"
    # shellcheck disable=SC2059
    printf "$MFMT" "records, run" "peak RSS KiB" "- plain KiB"
    local shape plain args
    for shape in long max; do
        gen "$WORK/$shape" video "$shape" 512
        plain=""
        for args in "-v" "-v --repair"; do
            # shellcheck disable=SC2086
            run "$WORK/$shape" "$WORK/out" $args
            [ -n "$plain" ] || plain=$RSS
            # shellcheck disable=SC2059
            printf "$MFMT" "$shape ($(size_of "$WORK/$shape") B), $args" "$RSS" "$((RSS - plain))"
        done
    done
}

stride_part() {
    echo
    echo "== 1,000,000 audio packets of one user at --reorder-window 4096: sequence numbers that"
    echo "   step by 4095 against the same packets numbered in order ($RUNS runs each, interleaved)"
    gen "$WORK/inorder" audio inorder 1000000
    gen "$WORK/stride" audio stride 1000000
    cat "$WORK"/inorder/cap_1.audio "$WORK"/stride/cap_1.audio >/dev/null
    local a=() b=() i
    for i in $(seq "$RUNS"); do
        run "$WORK/inorder" "$WORK/out" -a --reorder-window 4096
        a+=("$T")
        run "$WORK/stride" "$WORK/out" -a --reorder-window 4096
        b+=("$T")
    done
    printf "%-44s %12s\n" "capture" "median s"
    printf "%-44s %12s\n" "in order" "$(median "${a[@]}")" "stride 4095" "$(median "${b[@]}")"
    echo "runs, wall s (in order | stride):"
    for i in "${!a[@]}"; do echo "  ${a[$i]} | ${b[$i]}"; done
    awk -v s="$(median "${b[@]}")" -v o="$(median "${a[@]}")" \
        'BEGIN { printf "stride / in order: %.2f (bound 3)\n", s / o }'
}

echo "repair limits benchmark, $(date '+%Y-%m-%d %H:%M'), $(nproc) cores, load $(uptime | sed 's/.*load average: //')"
echo "converter: $TRANSCODE"
for part in $PARTS; do
    case "$part" in
        gaps) gaps_part ;;
        users) users_part ;;
        long) long_part ;;
        stride) stride_part ;;
        *) echo "--only: unknown part '$part'" >&2; exit 2 ;;
    esac
done
