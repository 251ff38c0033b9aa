#!/usr/bin/env bash
# Plays the converter's --webm output in a real browser (or, with MEETING_FILE and MEETING_REPORT
# set, only that composite with its run report): headless Chromium, driven through
# chromedriver's WebDriver HTTP API, loads a local page with each file in a muted <video> element
# and checks what the page sees. Installs Chromium and chromedriver itself (Debian 12, as root).
# Exits non-zero with a line saying what went wrong.
set -euo pipefail
export LC_ALL=C
REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD="${BUILD:-$REPO/build}"

# shellcheck source=/dev/null
. "$REPO/scripts/deps.sh"
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" chromium chromium-driver python3

cmake -S "$REPO" -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target transcode capture_synth >/dev/null

WORK=$(mktemp -d /tmp/browsercheckXXXXXX)
cleanup() {
    local rc=$?
    rm -rf "$WORK"
    exit "$rc"
}
trap cleanup EXIT

fail() {
    echo "browser check: FAILED: $*" >&2
    exit 1
}

if [ -n "${MEETING_FILE:-}" ]; then
    # Only a composite made elsewhere (scripts/browser_call.sh clock), with its run report.
    AV="" AO="" MEETING="$MEETING_FILE"
    cp "${MEETING_REPORT:?MEETING_REPORT names the run report of the composite}" "$WORK/compose.json"
else
    # One user with picture and sound, one with sound only; the sizes and lengths differ so that a
    # mix-up shows.
    SYNTH="$BUILD/tools/capture_synth"
    "$SYNTH" --out "$WORK/av" --quiet --users 1 --uids 11 --duration 3 --width 320 --height 240 \
        --fps 25 || fail "capture_synth (audio and video)"
    "$SYNTH" --out "$WORK/ao" --quiet --users 1 --uids 12 --video-users 0 --duration 2 \
        --audio-frame-ms 40 || fail "capture_synth (audio only)"
    mkdir -p "$WORK/out"
    for cap in av ao; do
        (cd "$WORK/out" && "$BUILD/transcode" -p "$WORK/$cap/" -v -a --webm >/dev/null) ||
            fail "transcode --webm on the $cap capture"
    done
    AV=$(ls "$WORK"/out/*_11.webm 2>/dev/null) || fail "no WebM for the audio and video user"
    AO=$(ls "$WORK"/out/*_12.webm 2>/dev/null) || fail "no WebM for the audio-only user"
    # The meeting composite of the first capture, at a small size to keep the check quick.
    MEETING="$WORK/meeting.webm"
    (cd "$WORK" && "$BUILD/transcode" -p "$WORK/av/" -v -a -o "$WORK/compose-out" \
        --compose "$MEETING" --compose-size 640x360 --report "$WORK/compose.json" >/dev/null 2>&1) ||
        fail "transcode --compose on the av capture"
fi

# The player (tests/browser_call/media_player.py) starts chromedriver and ends it.
WORK="$WORK" AV="$AV" AO="$AO" MEETING="$MEETING" PYTHONPATH="$REPO/tests/browser_call" python3 - <<'EOF'
import json, os, struct, sys
from media_player import Player, PlayerError

work = os.environ["WORK"]

def die(msg):
    print(f"browser check: FAILED: {msg}", file=sys.stderr)
    sys.exit(1)

# The expected picture size and length, from the IVF and Ogg files the WebM was made from.
def ivf_facts(path):
    with open(path, "rb") as f:
        f.seek(32)
        first = last = None
        count, size = 0, None
        while True:
            head = f.read(12)
            if len(head) < 12:
                break
            n, ts = struct.unpack("<IQ", head)
            data = f.read(n)
            if size is None and len(data) >= 10 and data[0] & 1 == 0 and data[3:6] == b"\x9d\x01\x2a":
                w, h = struct.unpack("<HH", data[6:10])
                size = (w & 0x3FFF, h & 0x3FFF)
            ts &= 0xFFFFFFFF
            first = ts if first is None else first
            last = ts
            count += 1
    span = ((last - first) & 0xFFFFFFFF) / 90000.0
    return size, span + (span / (count - 1) if count > 1 else 0)

def ogg_end(path):
    data = open(path, "rb").read()
    at = data.rfind(b"OggS")
    return struct.unpack("<q", data[at + 6:at + 14])[0] / 48000.0

out = os.path.join(work, "out")
def sibling(webm, ext):
    uid = webm.rsplit("_", 1)[1].split(".")[0]
    names = [n for n in os.listdir(out) if n.endswith(f"_{uid}.{ext}")]
    return os.path.join(out, names[0]) if names else None

try:
    with Player(work) as player:
        for webm, audio_only in ((os.environ["AV"], False), (os.environ["AO"], True),
                                 (os.environ["MEETING"], False)):
            if not webm:
                continue
            name = os.path.basename(webm)
            size, expected = None, 0.0
            if webm == os.environ["MEETING"]:
                # The composite: the size asked for, the length its report gives.
                compose = json.load(open(os.path.join(work, "compose.json")))["compose"]
                size, expected = (compose["width"], compose["height"]), compose["duration_seconds"]
            else:
                ivf, ogg = sibling(webm, "mkv"), sibling(webm, "ogg")
                if ivf:
                    size, expected = ivf_facts(ivf)
                if ogg:
                    expected = max(expected, ogg_end(ogg))
            s = player.load(webm)
            if audio_only:
                if s["w"] or s["h"]:
                    die(f"{name}: an audio-only file shows a picture of {s['w']}x{s['h']}")
            elif (s["w"], s["h"]) != size:
                die(f"{name}: videoWidth x videoHeight {s['w']}x{s['h']}, encoded {size}")
            if abs(s["d"] - expected) > 0.050:
                die(f"{name}: duration {s['d']:.3f} s, expected {expected:.3f} s")
            s1 = player.play(lambda s: s["t"] > 0.3, f"{name}: playback start", 30)
            s2 = player.wait_for(lambda s: s["t"] > s1["t"] + 0.2 or s["ended"], f"{name}: playback", 30)
            if audio_only:
                s2 = player.wait_for(lambda s: s["ended"], f"{name}: playing to its end", expected + 30)
                if "ended" not in s2["events"] or abs(s2["t"] - s2["d"]) > 0.050:
                    die(f"{name}: stopped at {s2['t']:.3f} s of {s2['d']:.3f} s")
            print(f"browser check: {name}: {s['w']}x{s['h']}, duration {s['d']:.3f} s "
                  f"(expected {expected:.3f} s), played to {s2['t']:.3f} s")
except PlayerError as e:
    die(str(e))
print("browser check: passed")
EOF
