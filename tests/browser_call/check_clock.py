#!/usr/bin/env python3
"""The recording clock on a real call (mode clock of scripts/browser_call.sh; called by
check_call.py). The senders' RTCP sender reports, read from the pcap, say when each stream's RTP
clock read what: per user, the WebM's first video time minus its first audio time must be what
they say (within 40 ms converted from the capture files alone, 10 ms with the sender-report file
beside them); the report's start times of the two users must differ as they say (40 ms); and the
first user's microphone, detached for 3 s, must give audio that lasts the call on the sender's
clock and ends in step with the video (40 ms). The captures are split every 2 s (a 15-s call
holds no boundary otherwise). The conversion with the sender-report file also writes the meeting
composite, checked by check_compose. Prints one line per user and conversion with the figures;
returns 1 when a check fails."""

import glob
import json
import math
import os
import shutil
import struct
import subprocess
import sys

NTP_TO_UNIX = 2208988800
RATE = {"video": 90000.0, "audio": 48000.0}
COMPOSE_W, COMPOSE_H, COMPOSE_RATE = 640, 360, 30


def pcap_sender_reports(path, streams):
    """RTCP sender reports in the pcap: [(ssrc, ntp, rtp, capture_us)] in capture order, for the
    SSRCs in `streams`. Ethernet (lo), Linux cooked v1/v2 and raw IP links; IPv4 and IPv6 UDP."""
    data = open(path, "rb").read()
    magic = data[:4]
    endian = "<" if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1") else ">"
    nano = magic in (b"\x4d\x3c\xb2\xa1", b"\xa1\xb2\x3c\x4d")
    link = struct.unpack(endian + "I", data[20:24])[0]
    skip = {1: 14, 113: 16, 276: 20, 101: 0, 0: 4}.get(link)
    if skip is None:
        sys.exit(f"pcap link type {link} not read here")
    out, at = [], 24
    while at + 16 <= len(data):
        sec, frac, incl, _ = struct.unpack(endian + "IIII", data[at:at + 16])
        frame = data[at + 16:at + 16 + incl]
        at += 16 + incl
        capture_us = sec * 1000000 + (frac // 1000 if nano else frac)
        ip = frame[skip:]
        if not ip:
            continue
        if ip[0] >> 4 == 4 and len(ip) >= 20 and ip[9] == 17:
            udp = ip[(ip[0] & 15) * 4:]
        elif ip[0] >> 4 == 6 and len(ip) >= 40 and ip[6] == 17:
            udp = ip[40:]
        else:
            continue
        p = udp[8:]
        # A compound RTCP packet: each part's length is in 32-bit words, less one.
        while len(p) >= 8 and p[0] >> 6 == 2 and 200 <= p[1] <= 206:
            size = (struct.unpack(">H", p[2:4])[0] + 1) * 4
            if p[1] == 200 and size >= 28 and len(p) >= 28:
                ssrc, ntp_hi, ntp_lo, rtp = struct.unpack(">IIII", p[4:20])
                if ssrc in streams:
                    out.append((ssrc, (ntp_hi << 32) | ntp_lo, rtp, capture_us))
            p = p[size:]
    return out


class SenderClock:
    """One SSRC's reports, split into runs wherever NTP and RTP time part (a stalled clock)."""

    def __init__(self, kind, reports):
        self.rate = RATE[kind]
        self.runs = []
        last = None
        for _, ntp, rtp, _ in reports:
            t = (ntp >> 32) - NTP_TO_UNIX + (ntp & 0xFFFFFFFF) / 2**32
            if last is not None:
                step = ((rtp - last[1] + 2**31) % 2**32 - 2**31) / self.rate
                if abs((t - last[0]) - step) > 0.2:
                    self.runs.append([])
            else:
                self.runs.append([])
            self.runs[-1].append((t, rtp))
            last = (t, rtp)

    def at(self, rtp, run):
        """Seconds since 1970 of RTP time `rtp` by the nearest report of run `run` (0: first)."""
        reports = self.runs[run]
        best = min(reports, key=lambda r: abs((rtp - r[1] + 2**31) % 2**32 - 2**31))
        return best[0] + ((rtp - best[1] + 2**31) % 2**32 - 2**31) / self.rate


def webm_times(path):
    r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "packet=codec_type,pts_time",
                        "-of", "csv=p=0", path], capture_output=True, text=True)
    times = {"video": [], "audio": []}
    for line in r.stdout.split():
        kind, _, t = line.partition(",")
        if kind in times and t not in ("", "N/A"):
            times[kind].append(float(t))
    return times


def ivf_timestamps(path):
    data, at, out = open(path, "rb").read(), 32, []
    while at + 12 <= len(data):
        size, ts = struct.unpack("<IQ", data[at:at + 12])
        out.append(ts & 0xFFFFFFFF)
        at += 12 + size
    return out


def utc_seconds(text):
    import calendar
    import time
    return calendar.timegm(time.strptime(text[:19], "%Y-%m-%dT%H:%M:%S")) + float(text[19:23])


def pcm(path):
    """The audio of a file as mono float samples at 48 kHz (ffmpeg)."""
    r = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-vn", "-ac", "1", "-ar", "48000",
                        "-f", "f32le", "-"], capture_output=True)
    n = len(r.stdout) // 4
    return struct.unpack(f"<{n}f", r.stdout[:n * 4])


def onsets(samples):
    """Seconds at which a beep starts: the 5-ms level rises over a quarter of the loudest after
    at least 100 ms under it."""
    win = 240
    levels = [max(abs(x) for x in samples[i:i + win]) for i in range(0, len(samples) - win, win)]
    if not levels:
        return []
    threshold = 0.25 * max(levels)
    out, quiet = [], 20
    for i, level in enumerate(levels):
        if level > threshold:
            if quiet >= 20:
                # Within the window, the first sample over the threshold.
                at = next(j for j in range(i * win, i * win + win) if abs(samples[j]) > threshold)
                out.append(at / 48000.0)
            quiet = 0
        else:
            quiet += 1
    return out


def rgb_frames(path, frames):
    """The composite's frames numbered `frames` as RGB (24 bits a pixel)."""
    select = "+".join(f"eq(n\\,{k})" for k in sorted(frames))
    r = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-vf",
                        f"select={select},format=rgb24", "-vsync", "0", "-f", "rawvideo", "-"],
                       capture_output=True)
    size = COMPOSE_W * COMPOSE_H * 3
    return {k: r.stdout[i * size:(i + 1) * size] for i, k in enumerate(sorted(frames))}


def mean(plane, x, y, w, h):
    """Mean of the largest of R, G and B over a rectangle: 0 for black. (Chromium's fake camera
    draws on a green whose luma is black's: only its colour tells it from black.)"""
    total = 0
    for row in range(y, y + h):
        line = plane[(row * COMPOSE_W + x) * 3:(row * COMPOSE_W + x + w) * 3]
        total += sum(max(line[i:i + 3]) for i in range(0, len(line), 3))
    return total / (w * h)


def tiles_shown(plane):
    """0, 1 or 2 tiles of 4:3 pictures in a 640x360 composite, by the pixels of their regions:
    one fills the height (480x360 centred), two sit side by side (320x240 each): a strip left of
    the single tile and one right of it are picture only with two, the centre only with one or
    two. Black is 0 in RGB; Chromium's fake camera picture is not black."""
    centre = mean(plane, 290, 150, 60, 60) > 30
    left = mean(plane, 10, 120, 60, 120) > 30
    right = mean(plane, 570, 120, 60, 120) > 30
    if left and right:
        return 2
    return 1 if centre else 0


def check_compose(work, out, report_path, clocks):
    """The meeting composite of the call: decodes in ffmpeg without an error line and lasts the
    recording (0.1 s); shows no tile before the second peer joins, its tile alone until the first
    peer's camera starts and both after (by the pixels of the tile regions, 0.1 s either side of
    each start; the report's layout changes at the frame of each camera's first picture, within
    one); each peer's beeps, timed in its own Ogg file and placed by its sender's reports, sound
    in the composite there (40 ms); and it plays in headless Chromium (browser_check.sh)."""
    failures = []
    path = os.path.join(work, "meeting.webm")
    report = json.load(open(report_path))
    c = report.get("compose", {})
    if not c.get("written") or not os.path.exists(path):
        return [f"composite: not written: {c}"]
    dec = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"],
                         capture_output=True, text=True)
    if dec.returncode != 0 or dec.stderr.strip():
        failures.append(f"composite: ffmpeg: {dec.stderr.strip()[:300]}")
    start = utc_seconds(report["recording_start_time"])
    span = utc_seconds(report["recording_end_time"]) - start
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                            "csv=p=0", path], capture_output=True, text=True)
    lasts = float(probe.stdout.strip() or 0)
    print(f"browser call (clock): composite: lasts {lasts:.3f} s, the recording {span:.3f} s; "
          f"layout changes {[(l['frame'], l['users']) for l in c['layout_changes']]}")
    if abs(lasts - span) > 0.1:
        failures.append(f"composite: lasts {lasts:.3f} s, the recording {span:.3f} s")

    users = {u["user_id"]: u for u in report["users"]}
    camera = {}
    for uid in (1, 2):
        ivf = glob.glob(os.path.join(out, f"*_{uid}.mkv"))
        vc = clocks.get((uid, "video"))
        if ivf and vc and ivf_timestamps(ivf[0]):
            camera[uid] = vc.at(ivf_timestamps(ivf[0])[0], 0) - start
    if set(camera) != {1, 2}:
        return failures + ["composite: a camera without frames or sender reports"]
    # Peer 2 joins first, then peer 1's camera comes on.
    first, second = sorted(camera, key=camera.get)
    frame_of = {uid: math.ceil(t * COMPOSE_RATE - 1e-9) for uid, t in camera.items()}
    changes = [(l["frame"], l["users"]) for l in c["layout_changes"]]
    want = [[], [first], [first, second]]
    if [u for _, u in changes[:3]] != want:
        failures.append(f"composite: layouts {changes}, expected {want} first")
    else:
        for (frame, _), uid in zip(changes[1:3], (first, second)):
            if abs(frame - frame_of[uid]) > 1:
                failures.append(f"composite: user {uid}'s tile at frame {frame}, its camera's "
                                f"first picture at frame {frame_of[uid]}")
    margin = 3  # 0.1 s
    probes = {frame_of[first] - margin: 0, frame_of[first] + margin: 1,
              frame_of[second] - margin: 1, frame_of[second] + margin: 2}
    planes = rgb_frames(path, list(probes))
    for k, n in sorted(probes.items()):
        got = tiles_shown(planes[k]) if len(planes.get(k, b"")) == COMPOSE_W * COMPOSE_H * 3 else -1
        print(f"browser call (clock): composite frame {k}: {got} tiles shown, {n} expected")
        if got != n:
            failures.append(f"composite: frame {k} shows {got} tiles, expected {n}")

    # The beeps: in each peer's Ogg file from its first packet, placed by its sender's reports.
    mix = onsets(pcm(path))
    expected = {}
    for uid in (1, 2):
        ogg = glob.glob(os.path.join(out, f"*_{uid}.ogg"))
        ac = clocks.get((uid, "audio"))
        if not ogg or not ac or uid not in users:
            failures.append(f"composite: user {uid}: no Ogg file or sender reports")
            continue
        origin = ac.at(users[uid]["audio"]["first_rtp_timestamp"], 0) - start
        expected[uid] = [origin + t for t in onsets(pcm(ogg[0]))]
    for uid, times in expected.items():
        # Both peers' fake microphones beep on one clock, so their beeps may sound together: a
        # beep placed wrong then either starts on its own (and is measured) or is heard nowhere
        # near its place. Every beep must have an onset of the mix within 40 ms.
        others = [t for o, ts in expected.items() if o != uid for t in ts]
        alone = sum(1 for t in times if not any(abs(t - o) < 0.15 for o in others))
        errors = [min((m - t for m in mix), key=abs, default=float("inf")) for t in times]
        worst = max((abs(e) for e in errors), default=float("inf"))
        print(f"browser call (clock): composite: user {uid}: {len(times)} beeps ({alone} not "
              f"near the other's), worst {worst * 1000:.1f} ms off the sender's clock")
        if len(times) < 5 or worst > 0.040:
            failures.append(f"composite: user {uid}: beeps up to {worst * 1000:.1f} ms off "
                            f"(of {len(times)})")

    play = subprocess.run([os.path.join(os.path.dirname(__file__), "..", "..", "scripts",
                                        "browser_check.sh")],
                          env={**os.environ, "MEETING_FILE": path, "MEETING_REPORT": report_path},
                          capture_output=True, text=True)
    print("\n".join(l for l in play.stdout.splitlines() if "meeting" in l))
    if play.returncode != 0:
        failures.append(f"composite: does not play in Chromium: {play.stderr.strip()[-300:]}")
    return failures


def main(work, build, stats):
    streams = {}
    args = []
    for uid, peer in enumerate(stats["peers"], start=1):
        for s in peer:
            streams[s["ssrc"]] = (uid, s["kind"])
            args += ["--user", f"{s['ssrc']}={uid}"]
    caps = os.path.join(work, "captures")
    # A new file every 2 s, as a recorder splits a long call every minute: the boundaries, with
    # the files' time values, are what places the video when there is no sender-report file.
    tp = subprocess.run([os.path.join(build, "transcode-pcap"), *args, "--split", "2",
                         os.path.join(work, "call.pcap"), caps], capture_output=True, text=True)
    sys.stderr.write(tp.stderr)
    if tp.returncode != 0:
        return "transcode-pcap failed"
    reports = pcap_sender_reports(os.path.join(work, "call.pcap"), streams)
    clocks = {}
    for ssrc, (uid, kind) in streams.items():
        mine = [r for r in reports if r[0] == ssrc]
        if mine:
            clocks[(uid, kind)] = SenderClock(kind, mine)
    # The sender-report file: transcode-pcap's when it writes one, else made here from the pcap's
    # reports in the same format.
    sr_file = os.path.join(caps, "sender_reports.txt")
    made_here = not os.path.exists(sr_file)
    if made_here:
        with open(sr_file, "w") as f:
            f.write("# transcode sender reports 1\n")
            for ssrc, ntp, rtp, capture_us in reports:
                uid, kind = streams[ssrc]
                f.write(f"{uid} {kind} {ssrc} {ntp} {rtp} {capture_us}\n")
    aside = os.path.join(work, "sender_reports.aside")
    shutil.move(sr_file, aside)

    failures = []

    def convert(name):
        out = os.path.join(work, name)
        os.makedirs(out, exist_ok=True)
        report = os.path.join(work, name + ".json")
        # With the sender-report file, also the meeting composite (checked by check_compose).
        compose = ["--compose", os.path.join(work, "meeting.webm"), "--compose-size",
                   f"{COMPOSE_W}x{COMPOSE_H}"] if name == "out-sr" else []
        tc = subprocess.run([os.path.join(build, "transcode"), "-p", caps + "/", "-v", "-a",
                             "--repair", "--webm", "--report", report, *compose], cwd=out,
                            capture_output=True, text=True)
        if tc.returncode != 0:
            failures.append(f"transcode failed: {tc.stderr}")
            return out, {}
        return out, {u["user_id"]: u for u in json.load(open(report))["users"]}

    runs = [("without the sender-report file", "out", 0.040)]
    results = {}
    results["out"] = convert("out")
    shutil.move(aside, sr_file)
    runs.append(("with the sender-report file" + (" (made from the pcap)" if made_here else ""),
                 "out-sr", 0.010))
    results["out-sr"] = convert("out-sr")

    for what, name, tolerance in runs:
        out, report = results[name]
        starts = {}
        for uid in (1, 2):
            u = report.get(uid)
            vc, ac = clocks.get((uid, "video")), clocks.get((uid, "audio"))
            if not u or "video" not in u or "audio" not in u or not vc or not ac:
                failures.append(f"{what}: user {uid}: no video and audio, or no sender reports")
                continue
            webm = glob.glob(os.path.join(out, f"*_{uid}.webm"))
            ivf = glob.glob(os.path.join(out, f"*_{uid}.mkv"))
            if not webm or not ivf:
                failures.append(f"{what}: user {uid}: no WebM or IVF file")
                continue
            times = webm_times(webm[0])
            frames = ivf_timestamps(ivf[0])
            if not times["video"] or not times["audio"] or not frames:
                failures.append(f"{what}: user {uid}: an empty track")
                continue
            a_first = u["audio"]["first_rtp_timestamp"]
            a_last = u["audio"]["last_rtp_timestamp"]
            truth = vc.at(frames[0], 0) - ac.at(a_first, 0)
            got = times["video"][0] - times["audio"][0]
            starts[uid] = (ac.at(a_first, 0), u["audio"]["start_time"], u["audio"]["clock_source"],
                           u["video"]["clock_source"])
            line = (f"browser call (clock): {what}: user {uid}: first video minus first audio "
                    f"{got * 1000:.1f} ms, sender reports {truth * 1000:.1f} ms, error "
                    f"{(got - truth) * 1000:+.1f} ms (sources {u['video']['clock_source']}, "
                    f"{u['audio']['clock_source']})")
            if abs(got - truth) > tolerance:
                failures.append(f"{what}: user {uid}: video starts {(got - truth) * 1000:+.1f} ms "
                                f"off the sender's clock (allowed {tolerance * 1000:.0f})")
            if uid == 1:
                # The detached microphone: the audio lasts the call on the sender's clock, and
                # after the pause its end is in step with the video's.
                call = ac.at(a_last, -1) - ac.at(a_first, 0) + 0.02
                lasts = u["audio"]["duration_seconds"]
                end_truth = vc.at(frames[-1], -1) - ac.at(a_last, -1)
                end_got = times["video"][-1] - times["audio"][-1]
                line += (f"; audio lasts {lasts:.3f} s, the call {call:.3f} s "
                         f"({len(ac.runs)} runs of reports); at the end video minus audio "
                         f"{end_got * 1000:.1f} ms, sender reports {end_truth * 1000:.1f} ms")
                if abs(lasts - call) > 0.040:
                    failures.append(f"{what}: user 1: audio lasts {lasts:.3f} s, the call "
                                    f"{call:.3f} s on the sender's clock")
                if abs(end_got - end_truth) > 0.040:
                    failures.append(f"{what}: user 1: at the end audio is "
                                    f"{(end_got - end_truth) * 1000:+.1f} ms off the video")
            print(line)
        if len(starts) == 2:
            def seconds(text):
                import calendar
                import time
                return calendar.timegm(time.strptime(text[:19], "%Y-%m-%dT%H:%M:%S")) + \
                    float(text[19:23])
            truth = starts[2][0] - starts[1][0]
            got = seconds(starts[2][1]) - seconds(starts[1][1])
            print(f"browser call (clock): {what}: report start_time, user 2 minus user 1 "
                  f"{got * 1000:.1f} ms, sender reports {truth * 1000:.1f} ms")
            if abs(got - truth) > 0.040:
                failures.append(f"{what}: the users' start times differ by {got:.3f} s, the "
                                f"sender reports say {truth:.3f} s")
    out, report = results["out-sr"]
    failures += check_compose(work, out, os.path.join(work, "out-sr.json"), clocks)
    for f in failures:
        print(f"browser call: {f}", file=sys.stderr)
    return 1 if failures else 0
