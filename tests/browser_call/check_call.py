#!/usr/bin/env python3
"""Checks a recorded browser call (see scripts/browser_call.sh): WORK holds call.pcap and the
page's stats.json. Makes capture files with transcode-pcap (each peer's SSRCs given their own user
id, 1 and 2), converts them with transcode --repair, and compares per sender:
  - video frames that decode = framesSent, and ffmpeg -v error prints nothing;
  - Ogg packets = packetsSent, within one;
  - video and audio duration_seconds of the run report within 1 s of the call;
  - converted again with --no-fec (FEC left out): never more video frames written than with it.
In modes ulpfec and flexfec packets are lost and none is asked for again, so frames and packets
cannot all
arrive; there both conversions get the negotiated SDP (--sdp, see below) and, per sender, every
frame written decodes (ffmpeg still silent), the Ogg packets lie between the audio packets
captured with a payload and packetsSent (a filler may stand for several lost packets), FEC rebuilt
packets (fec_recovered > 0) and more video frames are written with it than with --no-fec. A third
conversion without the SDP, as a recording without one is converted, must also write only frames
that decode, and more than --no-fec; whether its IVF equals the one with the SDP is printed.
There, too, an oracle written from the RFCs apart from the converter (fec_oracle.py) takes the
pcap, puts RTX back and XORs every FEC packet to a fixed point: per sender, the frames written
with the SDP equal its whole frames, and when it finds no frame missing between them, a conversion
with --wait-keyframe keeps every one, and in any case exactly those that do not depend on a lost
one.
In the codec modes (vp9, av1, h264) the --webm conversion's WebM (an MP4 for H.264) of each sender
must also play to its end in headless Chromium (media_player.py), showing a picture, and last as
long as the call (within 1.5 s).
Prints one line per sender with the figures; exits 1 when a check fails."""

import glob
import json
import os
import struct
import subprocess
import sys

work, build = sys.argv[1], sys.argv[2]
stats = json.load(open(os.path.join(work, "stats.json")))
if "error" in stats:
    sys.exit(f"the page failed: {stats['error']}")
if stats.get("mode") == "clock":
    # The streams placed in time against the senders' reports: a check of its own.
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import check_clock
    sys.exit(check_clock.main(work, build, stats))
call_seconds = stats["seconds"]
# Lossy, with FEC as the only way back: see the docstring.
lossy = stats["mode"] in ("ulpfec", "flexfec")
# Mode l1t3: three temporal layers, with loss that RTX mostly mends; --wait-keyframe must keep
# exactly the frames that do not depend on a lost one.
layered = stats["mode"] == "l1t3"
# Modes vp9, av1, h264: the codec's name in the report, a Matroska file; with loss (and RTX) only
# frames that decode, behind --wait-keyframe.
codec = {"vp9": "VP9", "av1": "AV1", "h264": "H264"}.get(stats["mode"])
codec_loss = codec is not None and int(os.environ.get("LOSS", "0")) > 0

args = []
for uid, peer in enumerate(stats["peers"], start=1):
    for s in peer:
        args += ["--user", f"{s['ssrc']}={uid}"]
caps = os.path.join(work, "captures")
tp = subprocess.run([os.path.join(build, "transcode-pcap"), *args, "--json",
                     os.path.join(work, "pcap.json"), os.path.join(work, "call.pcap"), caps],
                    capture_output=True, text=True)
sys.stderr.write(tp.stderr)
if tp.returncode != 0:
    sys.exit("transcode-pcap failed")


def convert(name, *options):
    """Converts the captures into WORK/NAME with `options`; the run report's users by id."""
    out = os.path.join(work, name)
    os.makedirs(out, exist_ok=True)
    report_path = os.path.join(work, name + ".json")
    tc = subprocess.run([os.path.join(build, "transcode"), "-p", caps + "/", "-v", "-a", *options,
                         "--report", report_path], cwd=out, capture_output=True, text=True)
    if tc.returncode != 0:
        sys.exit(f"transcode {' '.join(options)} failed: {tc.stderr}")
    return out, {u["user_id"]: u for u in json.load(open(report_path))["users"]}


# In modes ulpfec and flexfec, and in the codec modes with loss (where AV1's dependency descriptor is
# read under the extension id the SDP gives), the conversions that are checked get the negotiated
# SDP (both peers use the offer's payload types). Without it the payload types are learnt from the packets, and a call
# whose first key frame is two packets, followed by a burst of padding probes on the video SSRC
# (no RTX to carry them), runs out of room to wait for the third RED packet: RED is then taken
# for plain VP8 and no frame is written. The frames written without the SDP are printed beside.
sdp = []
if lossy or layered or codec_loss:
    with open(os.path.join(work, "call.sdp"), "w") as f:
        f.write(stats["sdp"][0])
    sdp = ["--sdp", os.path.join(work, "call.sdp")]
codec_options = (["--webm"] + (["--wait-keyframe"] if codec_loss else [])) if codec else []
out, report = convert("out", "--repair", *sdp, *codec_options)
# The same captures as a receiver that ignores FEC converts them: what the FEC brought back.
out_no_fec, _ = convert("out-no-fec", "--no-fec", *sdp)
out_learnt, report_learnt = convert("out-learnt", "--repair") if lossy else (None, {})
out_wait, _ = (convert("out-wait", "--repair", "--wait-keyframe", *sdp) if lossy or layered
               else (None, {}))
ideal = {}
if lossy or layered:
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import fec_oracle
    videos = [next((s for s in peer if s["kind"] == "video"), None) for peer in stats["peers"]]
    ideal = fec_oracle.oracle(os.path.join(work, "call.pcap"), stats["sdp"],
                              [v["ssrc"] for v in videos if v],
                              {v["rtxSsrc"]: v["ssrc"] for v in videos if v and v["rtxSsrc"]})


def ogg_packets(path):
    """Packets of the first logical stream, from the pages' lacing values."""
    data = open(path, "rb").read()
    at, count, open_packet = 0, 0, False
    while True:
        at = data.find(b"OggS", at)
        if at < 0 or at + 27 > len(data):
            break
        segments = data[at + 26]
        lacing = data[at + 27:at + 27 + segments]
        for v in lacing:
            open_packet = v == 255
            if v < 255:
                count += 1
        at += 27 + segments + sum(lacing)
    return count + (1 if open_packet else 0) - 2  # OpusHead and OpusTags


def ivf_frames(path):
    data = open(path, "rb").read()
    if data[:4] != b"DKIF":  # the Matroska file of another codec: count its blocks
        ff = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0",
                             "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", path],
                            capture_output=True, text=True)
        return int(ff.stdout.strip() or 0)
    at, count = 32, 0
    while at + 12 <= len(data):
        at += 12 + struct.unpack("<I", data[at:at + 4])[0]
        count += 1
    return count


def wire_kinds():
    """Per user, the video packets by what they carry, named from the SDP's rtpmap lines:
    {uid: {"VP8": n, "red/VP8": n, "red/ulpfec": n, "rtx": n, ...}}."""
    names = {}
    for sdp in stats.get("sdp", []):
        for line in sdp.splitlines():
            if line.startswith("a=rtpmap:"):
                pt, name = line[9:].split(" ", 1)
                names[int(pt)] = name.split("/")[0]
    out = {}
    for path in sorted(glob.glob(os.path.join(caps, "*.video"))):
        data, at = open(path, "rb").read(), 0
        while at + 8 <= len(data):
            n, uid = struct.unpack("<II", data[at:at + 8])
            p = data[at + 8:at + 8 + n]
            at += 8 + n
            name = names.get(p[1] & 0x7F, str(p[1] & 0x7F))
            head = 12 + 4 * (p[0] & 15)
            if p[0] & 0x10 and head + 4 <= len(p):
                head += 4 + 4 * struct.unpack(">H", p[head + 2:head + 4])[0]
            if name == "red" and head < len(p):
                name += "/" + names.get(p[head] & 0x7F, str(p[head] & 0x7F))
            out.setdefault(uid, {}).setdefault(name, 0)
            out[uid][name] += 1
    return out


kinds_on_wire = wire_kinds()


def audio_captured():
    """Per user, the audio packets captured that carry Opus: without RTX the sender's bandwidth
    probes may go out as padding-only packets on the audio SSRC, counted in packetsSent."""
    out = {}
    for path in sorted(glob.glob(os.path.join(caps, "*.audio"))):
        data, at = open(path, "rb").read(), 0
        while at + 16 <= len(data):
            uid, n = struct.unpack("<II", data[at + 8:at + 16])
            p = data[at + 16:at + 16 + n]
            at += 16 + n
            head = 12 + 4 * (p[0] & 15)
            if p[0] & 0x10 and head + 4 <= len(p):
                head += 4 + 4 * struct.unpack(">H", p[head + 2:head + 4])[0]
            if len(p) - head - (p[-1] if p[0] & 0x20 else 0) > 0:
                out[uid] = out.get(uid, 0) + 1
    return out


captured = audio_captured()
failures = []
totals = {"written": 0, "written_no_fec": 0, "fec_recovered": 0}
for uid, peer in enumerate(stats["peers"], start=1):
    # Each kind lasts from its sender's first packet of that kind to the stop (within the 50 ms
    # of the page's polling); without that figure, from the connection to the stop.
    lengths = stats.get("lengths", [{}, {}])[uid - 1]
    video = next((s for s in peer if s["kind"] == "video"), None)
    audio = next((s for s in peer if s["kind"] == "audio"), None)
    rep = report.get(uid, {})
    line = [f"sender {uid}"]
    if video:
        ivf = glob.glob(os.path.join(out, f"*_{uid}.mkv"))
        decoded, errors, written = 0, "no IVF file", 0
        if ivf:
            written = ivf_frames(ivf[0])
            ff = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", ivf[0], "-f", "framemd5",
                                 "-"], capture_output=True, text=True)
            decoded = sum(1 for l in ff.stdout.splitlines() if l and not l.startswith("#"))
            errors = ff.stderr.strip()
        ivf_no_fec = glob.glob(os.path.join(out_no_fec, f"*_{uid}.mkv"))
        written_no_fec = ivf_frames(ivf_no_fec[0]) if ivf_no_fec else 0
        repair = rep.get("video", {}).get("repair", {})
        dur = rep.get("video", {}).get("duration_seconds", 0.0)
        totals["written"] += written
        totals["written_no_fec"] += written_no_fec
        totals["fec_recovered"] += repair.get("fec_recovered", 0)
        line.append(f"video {video['codec']} framesSent {video['framesSent']}, "
                    f"retransmitted {video['retransmittedPacketsSent']}, written {written}, "
                    f"decoded {decoded}, ffmpeg error lines {len(errors.splitlines())}, "
                    f"duration {dur:.2f} s; written with FEC left out {written_no_fec}, "
                    f"fec_packets {repair.get('fec_packets', 0)}, fec_recovered "
                    f"{repair.get('fec_recovered', 0)}, fec_unrecoverable "
                    f"{repair.get('fec_unrecoverable', 0)}")
        if written < written_no_fec or (lossy and written == written_no_fec):
            failures.append(f"sender {uid}: {written} video frames written, {written_no_fec} "
                            "with FEC left out")
        if lossy and repair.get("fec_recovered", 0) == 0:
            failures.append(f"sender {uid}: FEC rebuilt no packet")
        if lossy and decoded != written:
            failures.append(f"sender {uid}: {decoded} video frames decode, {written} written")
        if layered:
            whole, _, _, decodes = ideal[video["ssrc"]]
            wait_ivf = glob.glob(os.path.join(out_wait, f"*_{uid}.mkv"))
            kept, kept_decoded, kept_errors = 0, 0, "no IVF file"
            if wait_ivf:
                kept = ivf_frames(wait_ivf[0])
                ff = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", wait_ivf[0], "-f",
                                     "framemd5", "-"], capture_output=True, text=True)
                kept_decoded = sum(1 for l in ff.stdout.splitlines() if l and not l.startswith("#"))
                kept_errors = ff.stderr.strip()
            line[-1] += (f"; the oracle: {whole} whole frames, {decodes} that do not depend on a "
                         f"lost one; --wait-keyframe kept {kept}, decoded {kept_decoded}")
            if written != whole:
                failures.append(f"sender {uid}: {written} video frames written, {whole} whole")
            if decodes is None or kept != decodes:
                failures.append(f"sender {uid}: --wait-keyframe kept {kept} frames, {decodes} do "
                                "not depend on a lost one")
            if kept_decoded != kept or kept_errors:
                failures.append(f"sender {uid}: --wait-keyframe: {kept_decoded} of {kept} frames "
                                f"decode; ffmpeg: {kept_errors[:200]}")
        if lossy:
            whole, gapless, rebuilt, decodes = ideal[video["ssrc"]]
            wait_ivf = glob.glob(os.path.join(out_wait, f"*_{uid}.mkv"))
            kept = ivf_frames(wait_ivf[0]) if wait_ivf else 0
            line[-1] += (f"; the oracle: {whole} whole frames, {rebuilt} packets rebuilt, "
                         f"{'none missing' if gapless else 'some missing'}; --wait-keyframe "
                         f"kept {kept}")
            if written != whole:
                failures.append(f"sender {uid}: {written} video frames written, the oracle "
                                f"rebuilds {whole}")
            if gapless and kept != whole:
                failures.append(f"sender {uid}: nothing missing after FEC, but --wait-keyframe "
                                f"kept {kept} of {whole} frames")
            # Without layers every loss waits for the next key frame: the frames that do not
            # depend on a lost one are those from a key frame on to the next loss.
            if decodes is not None and kept != decodes:
                failures.append(f"sender {uid}: --wait-keyframe kept {kept} frames, {decodes} do "
                                "not depend on a lost one")
        if codec:
            got = rep.get("video", {}).get("codec")
            line[-1] += f"; codec {got}"
            if got != codec:
                failures.append(f"sender {uid}: the report names codec {got}, not {codec}")
            muxed = glob.glob(os.path.join(out, f"*_{uid}." + ("mp4" if codec == "H264" else "webm")))
            # A call's frames come at a variable rate. Left to itself ffmpeg rounds their times to
            # the frame rate it guesses, and two frames less than a period apart then share one
            # time, which its null muxer reports as an error of the file: the frames keep the
            # file's own time base instead.
            ff = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", muxed[0],
                                 "-enc_time_base", "-1", "-f", "null", "-"],
                                capture_output=True, text=True) if muxed else None
            if not muxed or ff.returncode != 0 or ff.stderr.strip():
                failures.append(f"sender {uid}: no {'MP4' if codec == 'H264' else 'WebM'} that "
                                f"decodes: {ff.stderr.strip()[:200] if ff else 'none written'}")
        if codec_loss and decoded != written:
            failures.append(f"sender {uid}: {decoded} video frames decode, {written} written")
        if not lossy and not layered and not codec_loss and decoded != video["framesSent"]:
            failures.append(f"sender {uid}: {decoded} video frames decode, {video['framesSent']} sent")
        if errors:
            failures.append(f"sender {uid}: ffmpeg: {errors.splitlines()[0]}")
        want = lengths.get("video", call_seconds)
        line[-1] += f" (sending {want:.2f} s)"
        if lossy:
            # Without the SDP, payload types and the header extensions the sender rewrites after
            # its FEC are learnt from the packets: every frame written must still decode, and the
            # FEC must still bring frames back.
            learnt_ivf = glob.glob(os.path.join(out_learnt, f"*_{uid}.mkv"))
            learnt, learnt_decoded, learnt_errors, same = 0, 0, "no IVF file", False
            if learnt_ivf:
                learnt = ivf_frames(learnt_ivf[0])
                ff = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", learnt_ivf[0], "-f",
                                     "framemd5", "-"], capture_output=True, text=True)
                learnt_decoded = sum(1 for l in ff.stdout.splitlines() if l and not l.startswith("#"))
                learnt_errors = ff.stderr.strip()
                same = bool(ivf) and open(ivf[0], "rb").read() == open(learnt_ivf[0], "rb").read()
            line[-1] += (f"; without the SDP written {learnt}, decoded {learnt_decoded}, "
                         f"{'the same file' if same else 'another file'}")
            if learnt_decoded != learnt or learnt_errors:
                failures.append(f"sender {uid}: without the SDP {learnt_decoded} of {learnt} "
                                f"frames decode; ffmpeg: {learnt_errors[:200]}")
            if learnt <= written_no_fec:
                failures.append(f"sender {uid}: without the SDP {learnt} video frames written, "
                                f"{written_no_fec} with FEC left out")
        if abs(dur - want) > 1.0:
            failures.append(f"sender {uid}: video lasts {dur:.2f} s, it was sent for {want:.2f} s")
    if audio:
        ogg = glob.glob(os.path.join(out, f"*_{uid}.ogg"))
        packets = ogg_packets(ogg[0]) if ogg else 0
        dur = rep.get("audio", {}).get("duration_seconds", 0.0)
        on_wire = captured.get(uid, 0)
        line.append(f"audio {audio['codec']} packetsSent {audio['packetsSent']}, captured "
                    f"{on_wire}, Ogg packets {packets}, duration {dur:.2f} s")
        if (lossy or layered) and not on_wire <= packets <= audio["packetsSent"] + 1:
            failures.append(f"sender {uid}: {packets} Ogg packets, {on_wire} captured, "
                            f"{audio['packetsSent']} sent")
        if not lossy and not layered and abs(packets - audio["packetsSent"]) > 1:
            failures.append(f"sender {uid}: {packets} Ogg packets, {audio['packetsSent']} sent")
        want = lengths.get("audio", call_seconds)
        line[-1] += f" (sending {want:.2f} s)"
        if abs(dur - want) > 1.0:
            failures.append(f"sender {uid}: audio lasts {dur:.2f} s, it was sent for {want:.2f} s")
    wire = ", ".join(f"{k} {v}" for k, v in sorted(kinds_on_wire.get(uid, {}).items()))
    line.append(f"video packets on the wire: {wire}")
    print(f"browser call ({stats['mode']}, {call_seconds:.2f} s): " + ": ".join(line[:1]) + ": " + "; ".join(line[1:]))
if lossy or codec_loss:
    print(f"browser call ({stats['mode']}): both senders: video frames written {totals['written']}, "
          f"with FEC left out {totals['written_no_fec']}, fec_recovered {totals['fec_recovered']}")
# The codec modes' WebM or MP4 files, played in a real browser: a picture, and playback to the end.
if codec:
    from media_player import Player, PlayerError
    ext = "mp4" if codec == "H264" else "webm"
    try:
        with Player(work) as player:
            for uid in range(1, len(stats["peers"]) + 1):
                for path in glob.glob(os.path.join(out, f"*_{uid}.{ext}")):
                    name = os.path.basename(path)
                    s = player.load(path)
                    if not s["w"] or not s["h"]:
                        failures.append(f"sender {uid}: {name} shows no picture in Chromium")
                        continue
                    if abs(s["d"] - call_seconds) > 1.5:
                        failures.append(f"sender {uid}: {name} lasts {s['d']:.2f} s in Chromium, "
                                        f"the call {call_seconds:.2f} s")
                        continue
                    s2 = player.play(lambda s: s["ended"], f"{name}: playing to its end",
                                     s["d"] + 30)
                    print(f"browser call ({stats['mode']}): sender {uid}: {name} plays in "
                          f"Chromium, {s['w']}x{s['h']}, {s['d']:.2f} s, played to {s2['t']:.2f} s")
    except PlayerError as e:
        failures.append(f"Chromium playing the {ext.upper()} files: {e}")
for f in failures:
    print(f"browser call: {f}", file=sys.stderr)
sys.exit(1 if failures else 0)
