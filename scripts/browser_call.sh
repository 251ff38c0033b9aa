#!/usr/bin/env bash
# A real WebRTC call through transcode-pcap and transcode --repair.
#
#   scripts/browser_call.sh [MODE] [SECONDS]     MODE: vp8-plain (default), default, ulpfec, flexfec,
#                                                 clock, vp9, av1, h264, l1t3
#
# Inside a network namespace of its own (lo plus a veth pair with private addresses, nothing
# routed out of it), headless Chromium runs tests/browser_call/call.html: two RTCPeerConnections
# call each other with the fake camera and microphone, RTP in the clear
# (--disable-webrtc-encryption), while tcpdump records the namespace's traffic. The page posts
# each sender's getStats() to a small HTTP server on the namespace's loopback once it has stopped
# sending; only then does the capture stop. transcode-pcap makes capture files of the pcap,
# transcode --repair converts them, and tests/browser_call/check_call.py compares: per sender,
# video frames that decode = framesSent with ffmpeg silent, Ogg packets = packetsSent (within
# one), report durations within 1 s of the call. It converts the captures a second time with
# --no-fec and prints, per sender, the frames written with FEC left out beside those written with
# it and the fec_recovered count (fewer frames with FEC than without fails the check).
#
# Mode ulpfec: neither side NACKs and no RTX is negotiated, so the sender protects its video with
# ULPFEC inside RED and a lost packet comes back only through FEC. With loss the frames that arrive
# fall short of framesSent, so there the check asks per sender: every frame written decodes with
# ffmpeg silent, FEC rebuilt packets, and more frames are written with FEC than with --no-fec
# (both conversions given the negotiated SDP; see check_call.py). Mode flexfec: the same with VP8
# and FlexFEC on an SSRC of its own, which Chromium offers only behind a field trial.
#
# Mode clock: the streams start at different times (the first peer's camera 3 s after its
# microphone, the second peer 2 s into the call) and the first peer's microphone is detached for
# 3 s mid-call (tests/browser_call/call.html). check_call.py (check_clock.py) reads the senders' RTCP sender
# reports from the pcap and checks, per user, that the WebM's first video time minus its first
# audio time is what they say (within 40 ms from the capture files alone, 10 ms with the
# sender-report file), that the report's start times of the two users differ as they say, and
# that the detached microphone's audio lasts the call and ends in step with the video. The second
# conversion also writes the meeting composite (--compose), which must decode in ffmpeg without an
# error line, last the recording (0.1 s), show 0, 1 and 2 tiles around the camera starts (by the
# colour of each tile region), sound each peer's beeps where its sender reports put them (40 ms)
# and play in headless Chromium (scripts/browser_check.sh with MEETING_FILE).
# Mode l1t3: VP8 in three temporal layers (scalabilityMode L1T3), RED and RTX negotiated as
# Chromium offers them but no NACK (as in mode ulpfec), so that losses stay; 3% loss by default. check_call.py converts with --repair
# --wait-keyframe and asks, per sender, for exactly the frames that arrived (RTX put back) and do
# not depend on a lost one, by the VP8 payload descriptor's N, TID, TL0PICIDX and Y (RFC 7741),
# and ffmpeg silent on the output.
# Modes vp9, av1 and h264: the video is of that codec (with RTX), converted into Matroska; the check
# asks for the codec in the report and, with --webm, a WebM (an MP4 for H.264) that decodes. With
# LOSS set, the conversion also takes --wait-keyframe and every frame written must decode.
#
# LOSS=P drops P percent of the UDP packets sent inside the namespace (nftables, installed when
# missing), before tcpdump sees them: the default is 3 in modes ulpfec and flexfec, where the
# sender adds FEC only once it sees loss, and in mode l1t3; 0 otherwise.
#
# Needs root (network namespaces, tcpdump); without it exits 77, which CTest counts as skipped.
# BUILD (default build/) must hold transcode and transcode-pcap; KEEP=DIR keeps the pcap, captures
# and outputs there. Every process it starts and the namespace end with it.
set -euo pipefail
export LC_ALL=C
REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD="${BUILD:-$REPO/build}"
MODE="${1:-vp8-plain}"
SECONDS_OF_CALL="${2:-10}"
case "$MODE" in vp8-plain | default | ulpfec | flexfec | clock | vp9 | av1 | h264 | l1t3) ;; *)
    echo "browser call: unknown mode $MODE (vp8-plain, default, ulpfec, flexfec, clock, vp9, av1, h264, l1t3)" >&2
    exit 2
    ;;
esac
if [ "$(id -u)" -ne 0 ]; then
    echo "browser call: skipped: needs root for the network namespace and tcpdump" >&2
    exit 77  # CTest's skip status for this test
fi
for tool in chromium tcpdump ip ffmpeg python3; do
    command -v "$tool" >/dev/null || { echo "browser call: $tool is missing" >&2; exit 2; }
done
case "$MODE" in ulpfec | flexfec | l1t3) LOSS="${LOSS:-3}" ;; *) LOSS="${LOSS:-0}" ;; esac
# Chromium offers FlexFEC, and AV1's dependency descriptor, only behind these field trials.
TRIALS=()
[ "$MODE" = flexfec ] &&
    TRIALS=(--force-fieldtrials=WebRTC-FlexFEC-03-Advertised/Enabled/WebRTC-FlexFEC-03/Enabled/)
[ "$MODE" = av1 ] && TRIALS=(--force-fieldtrials=WebRTC-DependencyDescriptorAdvertised/Enabled/)
[[ $LOSS =~ ^[0-9]+$ ]] && [ "$LOSS" -le 100 ] || { echo "browser call: LOSS: a whole percentage" >&2; exit 2; }
if [ "$LOSS" -gt 0 ] && ! command -v nft >/dev/null; then
    # shellcheck source=/dev/null
    . "$REPO/scripts/deps.sh"
    ensure_packages nftables
fi
for bin in transcode transcode-pcap; do
    [ -x "$BUILD/$bin" ] || { echo "browser call: $BUILD/$bin is not built" >&2; exit 2; }
done

WORK=$(mktemp -d /tmp/browsercallXXXXXX)
NS="tcall$$"
cleanup() {
    local rc=$?
    local pid
    # Everything this test started runs inside its namespace (Chromium's helpers that detach
    # from their parent too), so the namespace's own list of processes is the list to end.
    if ip netns list 2>/dev/null | grep -qw "$NS"; then
        for pid in $(ip netns pids "$NS" 2>/dev/null); do kill -TERM "$pid" 2>/dev/null || true; done
        for _ in $(seq 50); do
            [ -z "$(ip netns pids "$NS" 2>/dev/null)" ] && break
            sleep 0.1
        done
        for pid in $(ip netns pids "$NS" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
        ip netns del "$NS" 2>/dev/null || true
    fi
    wait 2>/dev/null || true
    if [ -n "${KEEP:-}" ]; then
        mkdir -p "$KEEP" && cp -R "$WORK"/. "$KEEP"/ && echo "browser call: kept $KEEP"
    fi
    rm -rf "$WORK"
    exit "$rc"
}
trap cleanup EXIT INT TERM

fail() {
    echo "browser call: FAILED: $*" >&2
    exit 1
}

started=$(date +%s)
ip netns add "$NS"
ip -n "$NS" link set lo up
ip -n "$NS" link add tc0 type veth peer name tc1
ip -n "$NS" addr add 10.203.0.1/24 dev tc0
ip -n "$NS" addr add 10.203.0.2/24 dev tc1
ip -n "$NS" link set tc0 up
ip -n "$NS" link set tc1 up
if [ "$LOSS" -gt 0 ]; then
    # On lo's egress hook: before tcpdump's tap, and without an error for the sending socket (an
    # output-hook drop fails the send, which the sender notices as no loss at all).
    ip netns exec "$NS" nft -f - <<NFT
table netdev loss {
    chain out {
        type filter hook egress device lo priority 0; policy accept;
        meta l4proto udp numgen random mod 100 < $LOSS drop
    }
}
NFT
fi

# The page and the stats receiver, on the namespace's loopback.
cp "$REPO/tests/browser_call/call.html" "$WORK/"
PORT=8765
ip netns exec "$NS" python3 - "$WORK" "$PORT" >"$WORK/server.log" 2>&1 <<'PY' &
import http.server, os, sys
work, port = sys.argv[1], int(sys.argv[2])
class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *a, **k):
        super().__init__(*a, directory=work, **k)
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        if self.path == "/stats":
            with open(os.path.join(work, "stats.json.tmp"), "wb") as f:
                f.write(body)
            os.rename(os.path.join(work, "stats.json.tmp"), os.path.join(work, "stats.json"))
        else:
            with open(os.path.join(work, "page.log"), "ab") as f:
                f.write(body + b"\n")
        self.send_response(204)
        self.end_headers()
http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler).serve_forever()
PY

# Chromium's host candidates are the veth addresses; traffic between two addresses of one host
# goes over lo, where the capture listens (UDP only: the page's own HTTP stays out).
ip netns exec "$NS" tcpdump -i lo -U -s 0 -w "$WORK/call.pcap" udp >"$WORK/tcpdump.log" 2>&1 &
TCPDUMP=$!
for _ in $(seq 100); do
    grep -q "listening on" "$WORK/tcpdump.log" 2>/dev/null && break
    sleep 0.1
done

ip netns exec "$NS" chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-sync \
    --disable-background-networking --disable-component-update --disable-extensions \
    --disable-background-timer-throttling --disable-renderer-backgrounding \
    --use-fake-device-for-media-stream --use-fake-ui-for-media-stream \
    --disable-webrtc-encryption "${TRIALS[@]}" --user-data-dir="$WORK/profile" \
    "http://127.0.0.1:$PORT/call.html?mode=$MODE&seconds=$SECONDS_OF_CALL" \
    >"$WORK/chromium.log" 2>&1 &

deadline=$(($(date +%s) + SECONDS_OF_CALL + 90))
until [ -s "$WORK/stats.json" ]; do
    [ "$(date +%s)" -lt "$deadline" ] || { tail -n 20 "$WORK/chromium.log" >&2; fail "the page posted no stats"; }
    sleep 0.2
done
# The senders have stopped and their last packets are in: now the capture may end.
kill -INT "$TCPDUMP" 2>/dev/null || true
wait "$TCPDUMP" 2>/dev/null || true
grep -E "captured|dropped" "$WORK/tcpdump.log" | sed 's/^/browser call: tcpdump: /' || true

LOSS="$LOSS" python3 "$REPO/tests/browser_call/check_call.py" "$WORK" "$BUILD" || fail "mode $MODE, loss $LOSS%"
echo "browser call: $MODE (loss $LOSS%) passed in $(($(date +%s) - started)) s"
