#!/usr/bin/env python3
"""The recording clock on a real call (mode clock of scripts/browser_call.sh; called by
check_call.py). The senders' RTCP sender reports, read from the pcap, say when each stream's RTP
clock read what: per user, the WebM's first video time minus its first audio time must be what
they say (within 40 ms converted from the capture files alone, 10 ms with the sender-report file
beside them); the report's start times of the two users must differ as they say (40 ms); and the
first user's microphone, detached for 3 s, must give audio that lasts the call on the sender's
clock and ends in step with the video (40 ms). The captures are split every 2 s (a 15-s call
holds no boundary otherwise). Prints one line per user and conversion with the
figures; returns 1 when a check fails."""

import glob
import json
import os
import shutil
import struct
import subprocess
import sys

NTP_TO_UNIX = 2208988800
RATE = {"video": 90000.0, "audio": 48000.0}


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
        tc = subprocess.run([os.path.join(build, "transcode"), "-p", caps + "/", "-v", "-a",
                             "--repair", "--webm", "--report", report], cwd=out,
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
    for f in failures:
        print(f"browser call: {f}", file=sys.stderr)
    return 1 if failures else 0
