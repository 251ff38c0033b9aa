#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Every seed is a small, well-formed (or deliberately broken at one place) input that starts the
fuzzer on the paths real captures take: RTP headers with CSRC lists, extensions and padding, the
VP8 payload descriptor's optional bytes, frames split over packets, lost and refused packets,
capture files of both kinds with several users, records that end a stream or are cut short, and
Opus packets with real TOC bytes. Run it again after changing it; it replaces the whole corpus.
Standard library only.
"""

import os
import shutil
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")

# --- RTP ---------------------------------------------------------------------------------------


def rtp(payload=b"", pt=96, seq=0, ts=0, ssrc=0x11223344, marker=False, csrc=(), ext=None,
        padding=0, version=2):
    """One RTP packet. ext = (profile, data) with len(data) a multiple of 4; padding = count."""
    first = (version << 6) | (0x20 if padding else 0) | (0x10 if ext else 0) | len(csrc)
    out = struct.pack(">BBHII", first, (0x80 if marker else 0) | pt, seq & 0xFFFF,
                      ts & 0xFFFFFFFF, ssrc)
    for c in csrc:
        out += struct.pack(">I", c)
    if ext:
        profile, data = ext
        assert len(data) % 4 == 0
        out += struct.pack(">HH", profile, len(data) // 4) + data
    out += payload
    if padding:
        out += bytes(padding - 1) + bytes([padding])
    return out


def filler(n, seed=0):
    """Deterministic bytes that look like coded data (no long runs of one value)."""
    return bytes(((i + seed) * 151 + 89) & 0xFF for i in range(n))


# --- VP8 ---------------------------------------------------------------------------------------

VP8_PT = 96


def vp8_frame(key, size):
    """The start of a VP8 frame: 3-byte frame tag (RFC 6386), for a key frame the start code and
    640x480, then coded-looking bytes up to `size`."""
    first_part = max(size - 10, 1)
    tag = (first_part << 5) | 0x10 | (0 if key else 1)  # show_frame, version 0
    head = struct.pack("<I", tag)[:3]
    if key:
        head += b"\x9d\x01\x2a" + struct.pack("<HH", 640, 480)
    return head + filler(max(size - len(head), 0), seed=size)


# Payload descriptors (RFC 7741): first byte X=0x80, S=0x10; extension byte I=0x80 L=0x40
# T=0x20 K=0x10; a picture id with M=0x80 takes two bytes.
DESC_START = b"\x10"
DESC_CONT = b"\x00"
DESC_PICID15 = b"\x90\x80\x81\x23"
DESC_ILT = b"\x90\xe0\x05\x11\x22"
DESC_K_ONLY = b"\x90\x10\x33"
DESC_PICID7_T = b"\x90\xa0\x7f\x40"


def vp8_packets(frames, seq=1000, ts=3000, step=3000):
    """frames: list of lists of (descriptor, data) fragments; the last fragment of each frame
    carries the marker. Returns packets with consecutive sequence numbers."""
    out = []
    for frame in frames:
        for i, (desc, data) in enumerate(frame):
            out.append(rtp(desc + data, pt=VP8_PT, seq=seq, ts=ts, marker=i == len(frame) - 1))
            seq += 1
        ts += step
    return out


def split_frame(data, parts):
    n = len(data)
    cuts = [n * i // parts for i in range(parts + 1)]
    return [(DESC_START if i == 0 else DESC_CONT, data[cuts[i]:cuts[i + 1]])
            for i in range(parts)]


def length_prefixed(packets):
    return b"".join(struct.pack("<H", len(p)) + p for p in packets)


# --- capture files -----------------------------------------------------------------------------


def video_record(uid, packet):
    return struct.pack("<II", len(packet), uid) + packet


def audio_record(uid, packet, leading=1650598869249):
    return struct.pack("<QII", leading, uid, len(packet)) + packet


def split_byte(body, boundary):
    """The first byte of a pass input that makes the target cut `body` at `boundary`
    (cut = byte * len / 256); the closest cut when none is exact."""
    best = min(range(1, 256), key=lambda b: abs(b * len(body) // 256 - boundary))
    return bytes([best])


# --- Opus --------------------------------------------------------------------------------------

OPUS_PT = 111
# The writers take the Opus packet from byte 16 of the RTP data: a 12-byte header and a 4-byte
# extension header (one-byte-header extension with no data), as the capture carries it.
OPUS_EXT = (0xBEDE, b"")


def opus_packet(toc, frame_bytes, seed=0):
    """An Opus packet (RFC 6716): the TOC byte, the frame count byte for code 3, then data."""
    code = toc & 0x03
    if code == 3:
        return bytes([toc, 0x02]) + filler(frame_bytes * 2, seed)  # two CBR frames
    if code == 1:
        return bytes([toc]) + filler(frame_bytes * 2, seed)  # two frames of equal size
    return bytes([toc]) + filler(frame_bytes, seed)


# TOC bytes: config << 3 | stereo << 2 | code.
TOC_SILK_NB_20MS = 0x08  # config 1
TOC_SILK_WB_20MS_CODE3 = 0x4B  # config 9, two frames in one packet
TOC_HYBRID_FB_20MS = 0x78  # config 15
TOC_CELT_FB_20MS_STEREO = 0xFC  # config 31, stereo
TOC_CELT_FB_10MS_CODE1 = 0xF1  # config 30, two equal frames


def opus_rtp(toc, seq, ts, frame_bytes=20, ssrc=0x5EED0001):
    return rtp(opus_packet(toc, frame_bytes, seed=seq), pt=OPUS_PT, seq=seq, ts=ts, ssrc=ssrc,
               marker=False, ext=OPUS_EXT)


def opus_stream(uid, tocs, seq=500, ts=48000):
    recs = []
    for i, toc in enumerate(tocs):
        recs.append(audio_record(uid, opus_rtp(toc, seq + i, ts + 960 * i, ssrc=0x5EED0000 + uid)))
    return recs


# --- the corpora -------------------------------------------------------------------------------


def corpus_rtp_packet():
    vp8 = DESC_START + vp8_frame(True, 24)
    return {
        "minimal_header": rtp(),
        "vp8_marker_pt96": rtp(vp8, pt=96, seq=0xFFFF, ts=0xFFFFFFFF, marker=True),
        "opus_pt111_one_byte_ext": rtp(opus_packet(TOC_CELT_FB_20MS_STEREO, 10), pt=111,
                                       ext=OPUS_EXT),
        "csrc_two": rtp(b"payload", csrc=(0xAAAAAAAA, 0xBBBBBBBB)),
        "csrc_fifteen": rtp(csrc=tuple(range(1, 16))),
        "extension_one_word": rtp(b"data", ext=(0xBEDE, b"\x10\xff\x00\x00")),
        "padding_three": rtp(b"abcde", padding=3),
        "padding_count_zero": bytes([0xA0]) + rtp(b"abc\x00")[1:],
        "padding_extension_csrc": rtp(b"xyz", csrc=(7,), ext=(0x1000, bytes(8)), padding=4),
        "version_one": rtp(b"old", version=1),
        "refused_pt121": rtp(b"\x10abc", pt=121, marker=True),
    }


def corpus_vp8_unpack():
    key = vp8_frame(True, 60)
    inter = vp8_frame(False, 40)
    return {
        "single_packet_frames": length_prefixed(
            vp8_packets([[(DESC_START, key)], [(DESC_START, inter)]])),
        "frame_in_three_fragments": length_prefixed(
            vp8_packets([split_frame(key, 3), [(DESC_START, inter)]])),
        "descriptor_variants": length_prefixed(vp8_packets([
            [(DESC_PICID15, key)], [(DESC_ILT, inter)], [(DESC_K_ONLY, inter)],
            [(DESC_PICID7_T, inter)]])),
        # Middle fragment of the first frame missing: that frame is dropped, the next ones are
        # delivered (the first of them flagged).
        "lost_middle_fragment": length_prefixed(
            [p for i, p in enumerate(vp8_packets([split_frame(key, 3), [(DESC_START, inter)],
                                                  [(DESC_START, inter)]])) if i != 1]),
        "refused_pt121_between": length_prefixed([
            rtp(DESC_START + key, pt=VP8_PT, seq=10, ts=3000, marker=True),
            rtp(DESC_START + inter, pt=121, seq=11, ts=6000, marker=True),
            rtp(DESC_START + inter, pt=VP8_PT, seq=12, ts=9000, marker=True)]),
        "sequence_wrap": length_prefixed(vp8_packets(
            [split_frame(key, 2), [(DESC_START, inter)]], seq=0xFFFF)),
        "descriptor_only_packets": length_prefixed([
            rtp(b"\x90\x80", pt=VP8_PT, seq=1, ts=3000, marker=True),
            rtp(b"\x10", pt=VP8_PT, seq=2, ts=6000),
            rtp(DESC_CONT + inter, pt=VP8_PT, seq=3, ts=6000, marker=True)]),
        "no_marker_timestamp_ends_frame": length_prefixed([
            rtp(DESC_START + key[:30], pt=VP8_PT, seq=5, ts=3000),
            rtp(DESC_CONT + key[30:], pt=VP8_PT, seq=6, ts=3000),
            rtp(DESC_START + inter, pt=VP8_PT, seq=7, ts=6000, marker=True)]),
        "extension_and_padding": length_prefixed([
            rtp(DESC_START + key, pt=VP8_PT, seq=1, ts=90, marker=True,
                ext=(0xBEDE, b"\x22\x01\x02\x03"), padding=5)]),
    }


def video_capture(uid_frames):
    """uid_frames: list of (uid, packet); one record each."""
    return b"".join(video_record(uid, p) for uid, p in uid_frames)


def corpus_video_pass():
    key = vp8_frame(True, 48)
    inter = vp8_frame(False, 24)
    one_user = [(42, p) for p in vp8_packets([[(DESC_START, key)], [(DESC_START, inter)],
                                             split_frame(inter, 2)])]
    u7 = vp8_packets([[(DESC_START, key)], [(DESC_START, inter)]], seq=100)
    u3 = vp8_packets([[(DESC_PICID15, key)]], seq=200)
    u5 = vp8_packets([split_frame(key, 2)], seq=300)
    interleaved = [(7, u7[0]), (3, u3[0]), (7, u7[1]), (5, u5[0]), (5, u5[1])]
    two_files = video_capture(interleaved)
    boundary = len(video_capture(interleaved[:2]))
    recs = [video_record(uid, p) for uid, p in one_user]
    return {
        "one_user": b"\x00" + video_capture(one_user),
        "users_7_3_7_5": b"\x00" + two_files,
        "two_files_at_record_boundary": split_byte(two_files, boundary) + two_files,
        "two_files_record_across_boundary": split_byte(two_files, boundary + 5) + two_files,
        "zero_length_record_ends_stream": b"\x00" + recs[0] + video_record(42, b"") + recs[1],
        "last_record_cut_short": b"\x00" + recs[0] + recs[1][:-7],
        "max_user_id": b"\x00" + video_capture([(0xFFFFFFFF, p) for p in u7]),
    }


def audio_capture(records):
    return b"".join(records)


def corpus_audio_pass():
    u1 = opus_stream(1, [TOC_CELT_FB_20MS_STEREO] * 3)
    u2 = opus_stream(2, [TOC_SILK_NB_20MS, TOC_HYBRID_FB_20MS, TOC_SILK_WB_20MS_CODE3,
                         TOC_CELT_FB_10MS_CODE1])
    mixed = [u1[0], u2[0], u1[1], u2[1], u2[2], u1[2], u2[3]]
    body = audio_capture(mixed)
    boundary = len(audio_capture(mixed[:3]))
    short = [audio_record(9, rtp(pt=OPUS_PT, seq=1)),
             audio_record(9, rtp(pt=OPUS_PT, seq=2, ext=OPUS_EXT)),
             audio_record(9, opus_rtp(TOC_HYBRID_FB_20MS, 3, 960))]
    return {
        "one_user_celt": b"\x00" + audio_capture(u1),
        "two_users_mixed_tocs": b"\x00" + body,
        "two_files_at_record_boundary": split_byte(body, boundary) + body,
        "two_files_record_across_boundary": split_byte(body, boundary - 3) + body,
        "zero_length_record_ends_stream": b"\x00" + u1[0] + audio_record(1, b"") + u1[1],
        "rtp_without_opus_data": b"\x00" + audio_capture(short),
        "last_record_cut_short": b"\x00" + u1[0] + u1[1][:-4],
    }


def corpus_single_file():
    u1 = opus_stream(1, [TOC_CELT_FB_20MS_STEREO] * 3)
    u2 = opus_stream(2, [TOC_SILK_NB_20MS, TOC_HYBRID_FB_20MS, TOC_SILK_WB_20MS_CODE3])
    return {
        "empty": b"",
        "one_user_celt": audio_capture(u1),
        "two_users_interleaved": audio_capture([u1[0], u2[0], u1[1], u2[1], u2[2], u1[2]]),
        "zero_length_record": u1[0] + audio_record(1, b"") + u1[1],
        "rtp_without_opus_data": audio_record(4, rtp(pt=OPUS_PT, seq=9)) + u1[0],
        "last_record_cut_short": u1[0] + u1[1] + u1[2][:-6],
    }


def reorder_steps(window, steps):
    """fuzz_reorder_window input: window byte, then (op, b1, b2, b3) steps."""
    return bytes([window]) + b"".join(bytes(step) for step in steps)


def near(delta, b3=4, other_ssrc=False, refused=False):
    return (0 | (8 if other_ssrc else 0) | (0x30 if refused else 0), 0, delta & 0xFF, b3)


def at(seq, b3=4):
    return (2, seq >> 8, seq & 0xFF, b3)


def corpus_reorder_window():
    return {
        "in_order": reorder_steps(8, [at(100)] + [near(1)] * 20),
        "swaps_and_repeats": reorder_steps(
            8, [at(100), near(2), near(-1), near(0), near(3), near(-1), near(2), near(0)]),
        "late_beyond_window": reorder_steps(4, [at(10)] + [near(1)] * 8 + [near(-7), near(8)]),
        "sequence_wrap": reorder_steps(16, [at(65533), near(1), near(2), near(-1), near(1),
                                            near(1)]),
        "far_jump_and_ssrc_change": reorder_steps(
            8, [at(5), near(1), at(40000), near(1), near(1, other_ssrc=True), near(1)]),
        "refused_between": reorder_steps(
            8, [at(7), near(1), near(1, refused=True), near(2), near(-1), near(2)]),
        "flush_and_not_rtp": reorder_steps(8, [at(1), near(2), (7, 0, 0, 0), (3, 1, 2, 3),
                                               at(50), near(-1)]),
        "window_4096": reorder_steps(0x80, [at(300)] + [near(3), near(-1)] * 10),
    }


def fec_input(flags, count, start, media, steps):
    """fuzz_fec_recovery input: flags byte (bit 0 FlexFEC, bits 1-4 window - 1, bits 5-7 store
    size - 1), round-trip packet count - 1 and start, 3 bytes per round-trip packet (flags,
    marker and PT, payload length), then (op, b1, b2, b3) steps for the reorder stage."""
    return (bytes([flags, count, start]) + b"".join(bytes(m) for m in media)
            + b"".join(bytes(step) for step in steps))


def fec_push(delta=1):
    return (0, 0, delta & 0xFF, 0)


def fec_lose(delta=1):
    return (2, 0, delta & 0xFF, 0)


def fec_over(mask, flexfec=False):
    """An FEC packet over the last 16 numbers made, by a 16-bit mask (bit 0 the newest)."""
    return (1 | (8 if flexfec else 0), mask >> 8, mask & 0xFF, 0)


def corpus_fec_recovery():
    plain = [(0x00, 0x60, 20), (0x00, 0x60, 30), (0x00, 0xE0, 5)]
    fields = [(0x10, 0x60, 10), (0x60, 0x65, 0), (0x80, 0xE0, 7), (0xF3, 0x7F, 255)]
    frames = [fec_push(1), fec_push(1), fec_lose(1), fec_push(1), fec_over(0x000F)]
    flex_frames = [fec_push(1), fec_lose(1), fec_push(1), fec_over(0x0007, flexfec=True)]
    return {
        "ulpfec_plain": fec_input(0x06, 2, 0, plain, []),
        "flexfec_header_fields": fec_input(0x07, 3, 3, fields, []),
        "ulpfec_wide_span": fec_input(0x00, 11, 15, [(0x03, 0x60, 9)] * 12, []),
        "flexfec_109_span": fec_input(0x01, 15, 0, [(0x06, 0x61, 40)] * 16, []),
        "stage_ulpfec_frames": fec_input(0x46, 0, 0, [(0, 0x60, 1)], frames * 6 + [(3, 0, 0, 0)]),
        "stage_flexfec_frames": fec_input(0x27, 0, 0, [(0, 0x60, 1)], flex_frames * 6),
        "stage_two_lost_chain": fec_input(0x48, 0, 0, [(0, 0x60, 1)],
                                          [fec_push(1), fec_lose(1), fec_lose(1), fec_push(1),
                                           fec_over(0x000F), fec_over(0x000C)] + [fec_push(1)] * 8),
        "stage_raw_fec": fec_input(0x04, 0, 0, [(0, 0x60, 1)],
                                   [fec_push(1), fec_lose(1), fec_push(1), (5, 0, 0, 16)]
                                   + [(0x0F, 0, 0, 0)] * 4 + [fec_push(1)] * 6),
    }


# --- pcap --------------------------------------------------------------------------------------


def pcap_file(linktype, frames, snaplen=65535, magic=0xA1B2C3D4, endian="<"):
    """A pcap file: frames = list of (time_us, bytes, wire_len or None)."""
    out = struct.pack(endian + "IHHiIII", magic, 2, 4, 0, 0, snaplen, linktype)
    for t, data, wire in frames:
        frac = t % 1000000 if magic == 0xA1B2C3D4 else (t % 1000000) * 1000
        out += struct.pack(endian + "IIII", t // 1000000, frac, len(data),
                           wire if wire is not None else len(data))
        out += data
    return out


def pcapng_file(linktype, frames):
    """A pcapng file: section header, one interface (microsecond stamps), enhanced packets."""
    def block(kind, body):
        body += bytes(-len(body) % 4)
        n = 12 + len(body)
        return struct.pack("<II", kind, n) + body + struct.pack("<I", n)
    out = block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))
    out += block(1, struct.pack("<HHI", linktype, 0, 65535))
    for t, data, _ in frames:
        out += block(6, struct.pack("<IIIII", 0, t >> 32, t & 0xFFFFFFFF, len(data), len(data)) + data)
    return out


def ng_block(kind, body, len_delta=0, tail_delta=0):
    body += bytes(-len(body) % 4)
    n = 12 + len(body)
    return struct.pack("<II", kind, n + len_delta) + body + struct.pack("<I", n + tail_delta)


def ng_section():
    return ng_block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))


def ng_interface(linktype, options=b""):
    return ng_block(1, struct.pack("<HHI", linktype, 0, 65535) + options +
                    (struct.pack("<I", 0) if options else b""))


def ng_packet(iface, t, data):
    return ng_block(6, struct.pack("<IIIII", iface, t >> 32, t & 0xFFFFFFFF, len(data), len(data)) + data)


def nflog(ip, family=2):
    """NFLOG frame: header, a prefix TLV, then the payload TLV (type 9), little-endian TLVs."""
    prefix = b"call\x00"
    tlv = struct.pack("<HH", 4 + len(prefix), 10) + prefix + bytes(-len(prefix) % 4)
    return struct.pack("<BBH", family, 0, 0) + tlv + struct.pack("<HH", 4 + len(ip), 9) + ip + \
        bytes(-len(ip) % 4)


def udp4(payload, sport=40000, dport=5004, src=b"\x0a\x00\x00\x01", flags_frag=0):
    udp = struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) + payload
    return struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, flags_frag, 64, 17, 0, src,
                       b"\x0a\x00\x00\x02") + udp


def udp6(payload, sport=40000, dport=5004):
    udp = struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) + payload
    return struct.pack(">IHBB", 0x60000000, len(udp), 17, 64) + bytes(15) + b"\x01" + bytes(15) + \
        b"\x02" + udp


def tcp4(payload, seq, flags=0x18, sport=40002, dport=5004):
    tcp = struct.pack(">HHIIBBHHH", sport, dport, seq, 0, 0x50, flags, 0, 0, 0) + payload
    return struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp), 0, 0, 64, 6, 0,
                       b"\x0a\x00\x00\x03", b"\x0a\x00\x00\x02") + tcp


def eth(ip, ethertype=0x0800, tags=()):
    out = bytes(12)
    for t in tags:
        out += struct.pack(">HH", t, 7)
    return out + struct.pack(">H", ethertype) + ip


def call_payloads(n=12):
    """A bundled sender: STUN, DTLS, then video (90 kHz) and audio (48 kHz) with RTCP between;
    (time_us, udp payload)."""
    out = [(0, b"\x00\x01\x00\x00" + filler(16)), (1000, b"\x16\xfe\xfd" + filler(20))]
    for i in range(n):
        t = 20000 + i * 20000
        out.append((t, rtp(vp8_frame(i == 0, 40), seq=100 + i, ts=i * 1800, ssrc=0xAAAA0001,
                           marker=True)))
        out.append((t + 5, rtp(b"\x78" + filler(20), pt=111, seq=7 + i, ts=i * 960,
                               ssrc=0xBBBB0002)))
        if i % 5 == 4:
            out.append((t + 9, b"\x80\xc8\x00\x06" + filler(24)))
    probe = rtp(b"", pt=97, seq=1, ts=0, ssrc=0xAAAA0003, padding=40)
    out.insert(3, (25000, probe))
    return out


def corpus_pcap_reader():
    calls = call_payloads()
    framed = b"".join(struct.pack(">H", len(p)) + p for _, p in calls[2:8])
    return {
        "ethernet_ipv4": pcap_file(1, [(t, eth(udp4(p)), None) for t, p in calls]),
        "ethernet_vlan_qinq_ipv6": pcap_file(
            1, [(t, eth(udp6(p), 0x86DD, (0x88A8, 0x8100)), None) for t, p in calls]),
        "linux_sll": pcap_file(113, [(t, bytes(14) + b"\x08\x00" + udp4(p), None) for t, p in calls]),
        "linux_sll2_ipv6": pcap_file(276, [(t, b"\x86\xdd" + bytes(18) + udp6(p), None)
                                           for t, p in calls]),
        "null_loopback": pcap_file(0, [(t, struct.pack("<I", 2) + udp4(p), None) for t, p in calls]),
        "loop_ipv6_bsd": pcap_file(108, [(t, struct.pack(">I", 30) + udp6(p), None) for t, p in calls]),
        "raw_ip_big_endian_nanoseconds": pcap_file(
            101, [(t, udp4(p), None) for t, p in calls], magic=0xA1B23C4D, endian=">"),
        "pcapng_ethernet": pcapng_file(1, [(t, eth(udp4(p)), None) for t, p in calls]),
        "rfc4571_over_tcp": pcap_file(12, [(0, tcp4(b"", 999, 0x02), None),
                                           (10, tcp4(framed[:30], 1000), None),
                                           (20, tcp4(framed[:70], 1000), None),
                                           (30, tcp4(framed[70:], 1070), None)]),
        "fragments_and_cut": pcap_file(12, [(0, udp4(calls[2][1], flags_frag=0x2000), None),
                                            (10, udp4(calls[3][1])[:30], 200),
                                            (20, udp4(calls[4][1]), None)], snaplen=64),
        "truncated_last_frame": pcap_file(1, [(t, eth(udp4(p)), None) for t, p in calls])[:-7],
        "pcapng_interfaces_of_four_link_types": ng_section() + ng_interface(1) + ng_interface(12)
        + ng_interface(147) + ng_interface(113, struct.pack("<HH", 9, 1) + b"\x09\x00\x00\x00")
        + b"".join(ng_packet(i % 4, t * (1000 if i % 4 == 3 else 1),
                             [eth(udp4(p)), udp4(p), bytes(20), bytes(14) + b"\x08\x00" + udp4(p)][i % 4])
                   for i, (t, p) in enumerate(calls)),
        "pcapng_two_sections": ng_section() + ng_interface(1)
        + b"".join(ng_packet(0, t, eth(udp4(p))) for t, p in calls[:10])
        + ng_section() + ng_interface(12)
        + b"".join(ng_packet(0, t, udp4(p)) for t, p in calls[10:]),
        "pcapng_resync_after_bad_lengths": ng_section() + ng_interface(12)
        + b"".join(ng_block(6, bytes(40), 0x7FFFFF00) if i == 5 else
                   ng_block(6, bytes(20) + udp4(p), 0, 4) if i == 9 else ng_packet(0, t, udp4(p))
                   for i, (t, p) in enumerate(calls)),
        "pcap_resync_after_bad_record": b"".join(
            [pcap_file(12, [(t, udp4(p), None) for t, p in calls[:6]])]
            + [struct.pack("<IIII", 1, 0, 300000, 300000) + udp4(calls[6][1])]
            + [pcap_file(12, [(t, udp4(p), None) for t, p in calls[7:]])[24:]]),
        "nflog_ipv4": pcap_file(239, [(t, nflog(udp4(p)), None) for t, p in calls]),
        "two_senders": pcap_file(12, [(t, udp4(p, sport=40000 + (i % 2), src=bytes([10, 0, 0, 1 + i % 2])), None)
                                      for i, (t, p) in enumerate(calls)]),
    }


def unwrap_steps(settings, steps):
    """fuzz_stream_unwrap input: settings byte, then (op, payload) packets."""
    out = bytes([settings])
    for op, payload in steps:
        out += bytes([op, len(payload)]) + bytes(payload)
    return out


def op(ssrc=0, pt=0, marker=False, padding=False, seq_from_payload=False):
    """pt indexes 96, 97, 118, 119, 120, 115, 63, 111."""
    return ssrc | (pt << 2) | (0x20 if marker else 0) | (0x40 if padding else 0) | \
        (0x80 if seq_from_payload else 0)


VP8 = [0x90, 0x80, 0x12, 0x34, 0x9D, 0x01, 0x2A, 7, 7]
OPUS = [0x78, 1, 2, 3]


def corpus_stream_unwrap():
    red = [96] + VP8
    ulpfec = [120, 0x00, 0x60, 0x03, 0xE8, 0, 0, 0, 0, 0, 9, 0, 9, 0xC0, 0] + [5] * 9
    flexfec = [0x00, 0x60, 0, 9, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0x10, 0x00, 0x03, 0xE8, 0x80,
               0x01] + [5] * 9
    redundant = [0xEF, 0x0F, 0x00, len(OPUS), 0x6F] + OPUS + OPUS
    return {
        "video_red": unwrap_steps(1, [(op(pt=2), red)] * 5 + [(op(pt=2, marker=True), red)]),
        "video_red_ulpfec_sdp": unwrap_steps(3, [(op(pt=2), red)] * 4 + [(op(pt=2), ulpfec)]),
        "rtx_probes_and_copies": unwrap_steps(1, [(op(ssrc=1, pt=1, padding=True), [])] * 3 +
                                              [(op(pt=0), VP8)] * 4 +
                                              [(op(ssrc=1, pt=1), [0x03, 0xE9] + VP8)] * 3),
        "flexfec": unwrap_steps(1, [(op(pt=0), VP8)] * 3 + [(op(ssrc=2, pt=5), flexfec)]),
        "audio_red": unwrap_steps(0, [(op(pt=6), [111] + OPUS)] +
                                  [(op(pt=6), redundant)] * 4),
        "audio_undecided": unwrap_steps(0, [(op(pt=6), [111] + OPUS)] +
                                        [(op(pt=7), [0xFC, 0xFF, 0xFE])] * 20),
        "sender_restart": unwrap_steps(1, [(op(pt=0), VP8)] * 3 + [(op(ssrc=2, pt=0), VP8)] * 3),
        # Probes on the media SSRC behind two RED packets: within the probes' bound, and past it.
        "video_red_probe_burst": unwrap_steps(1, [(op(pt=2), red)] * 2 +
                                              [(op(pt=0, padding=True), [])] * 20 +
                                              [(op(pt=2), red)] * 2),
        "video_red_probes_past_the_bound": unwrap_steps(1, [(op(pt=2), red)] * 2 +
                                                        [(op(pt=0, padding=True), [])] * 1030 +
                                                        [(op(pt=2), red)]),
    }


def codec_stream(packets, pt=98):
    """Packets of one picture each unless a payload is given as (payload, marker, new_picture)."""
    out, seq, ts = [], 100, 3000
    for payload, marker, new_picture in packets:
        if new_picture:
            ts += 3000
        out.append(rtp(bytes(payload), pt=pt, seq=seq, ts=ts, marker=marker))
        seq += 1
    return length_prefixed(out)


def corpus_vp9_unpack():
    key = [0x82, 0x49, 0x83, 0x42, 0x00, 0x13, 0xF0, 0x0E, 0xF0] + [0x55] * 40
    return {
        "key_with_ss_then_inter": codec_stream([
            ([0xAE, 0x92, 0x34, 0x00, 0x05, 0x18, 0x01, 0x40, 0x00, 0xF0, 0x01, 0x04, 0x01] + key,
             True, False),
            ([0xEC, 0x92, 0x35, 0x00, 0x05, 0x86, 0x00, 0x11], True, True)]),
        "flexible_p_diffs": codec_stream([([0xF8, 0x05, 0x20, 0x03, 0x04, 0xAA], False, False),
                                          ([0xD4, 0x05, 0x02, 0xCC], True, False)]),
        "two_spatial_layers": codec_stream([([0xAC, 0x01, 0x00, 0x00] + key, False, False),
                                            ([0xAC, 0x01, 0x02, 0x00, 0x86, 0x33], True, False)]),
        # Flexible mode, L1T3 references (P_DIFF 1, 2, 1, 4), picture 3 lost.
        "flexible_l1t3_with_loss": length_prefixed([
            rtp(bytes([0xDC if d else 0x9C, 0x80, pid] + ([d << 1] if d else []) + [0x11]),
                pt=98, seq=100 + pid, ts=3000 * (pid + 1), marker=True)
            for pid, d in enumerate([0, 1, 2, 1, 4, 1, 2, 1]) if pid != 3]),
        # Non-flexible mode with layer indices: TID 0 2 1 2, a switching-up point in layer 0.
        "layer_indices_with_switch_up": length_prefixed([
            rtp(bytes([0xEC, 0x80, pid, (tid << 5) | (0x10 if pid == 4 else 0), pid // 4, 0x22]),
                pt=98, seq=100 + pid, ts=3000 * (pid + 1), marker=True)
            for pid, tid in enumerate([0, 2, 1, 2, 0, 2, 1, 2]) if pid != 2]),
    }


# The dependency descriptor's L1T3 template structure (tests/codec_layers_test.cpp): templates 0
# (key), 1 (layer 0, diff 4), 2 (layer 1, diff 2), 3 (layer 2, diff 1); frame number 0x0100.
DD_L1T3_KEY = [0xC0, 0x01, 0x00, 0x80, 0x02, 0x17, 0xAB, 0xF3, 0xC1, 0x4D, 0x14, 0x00]


def dd_extension(dd, ext_id=1):
    """A one-byte-form header extension (RFC 8285) holding one element."""
    data = bytes([(ext_id << 4) | (len(dd) - 1)]) + bytes(dd)
    return (0xBEDE, data + bytes(-len(data) % 4))


def av1_dd_stream(templates, skip=()):
    """One AV1 frame per template (K: the key with the structure), each with its descriptor;
    the frames at the indices in `skip` are left out, as lost."""
    out, seq, ts, number = [], 100, 3000, 0x0100
    for i, t in enumerate(templates):
        dd = list(DD_L1T3_KEY) if t == "K" else [0xC0 | t]
        dd[1:3] = [number >> 8, number & 0xFF]
        if i not in skip:
            out.append(rtp(bytes([0x18, 0x30, 0x10 + i]), pt=98, seq=seq, ts=ts, marker=True,
                           ext=dd_extension(dd)))
        seq, ts, number = seq + 1, ts + 3000, number + 1
    return length_prefixed(out)


def corpus_av1_unpack():
    seq_header = [0x08, 0x00, 0x00, 0x00, 0x04, 0x3C, 0xFF, 0xBC, 0xDA, 0xF9, 0x00, 0x40]
    return {
        "dependency_descriptor_l1t3_with_loss": av1_dd_stream(["K", 3, 2, 3, 1, 3, 2, 3, 1],
                                                              skip=(6,)),
        "sequence_and_frame": codec_stream([([0x28, len(seq_header)] + seq_header +
                                             [0x30, 0x10, 0x20, 0x30], True, False)]),
        "obu_across_packets": codec_stream([([0x50, 0x30, 0x01, 0x02], False, False),
                                            ([0x90, 0x03], True, False)]),
        "sizes_and_extension": codec_stream([([0x00, 0x01, 0x10, 0x03, 0x32, 0x01, 0xEE], False,
                                              False), ([0x10, 0x34, 0x28, 0xAB], True, False)]),
    }


def corpus_h264_unpack():
    sps = [0x67, 0x42, 0xC0, 0x1E, 0xD9, 0x01, 0x40, 0x7B, 0x20]
    pps = [0x68, 0xCE, 0x3C, 0x80]
    return {
        "stap_a_then_fu_a": codec_stream([
            ([0x78, 0, len(sps)] + sps + [0, len(pps)] + pps, False, False),
            ([0x7C, 0x85, 0x11, 0x22], False, False), ([0x7C, 0x45, 0x33], True, False),
            ([0x41, 0x9A, 0x02], True, True)]),
        "bare_idr_after_parameter_sets": codec_stream([
            ([0x78, 0, len(sps)] + sps + [0, len(pps)] + pps + [0, 2, 0x65, 0x01], True, False),
            ([0x65, 0x03], True, True)]),
        "fu_a_without_start": codec_stream([([0x7C, 0x45, 0x33], True, False)]),
    }


CORPORA = {
    "fuzz_rtp_packet": corpus_rtp_packet,
    "fuzz_vp8_unpack": corpus_vp8_unpack,
    "fuzz_vp9_unpack": corpus_vp9_unpack,
    "fuzz_av1_unpack": corpus_av1_unpack,
    "fuzz_h264_unpack": corpus_h264_unpack,
    "fuzz_video_pass": corpus_video_pass,
    "fuzz_audio_pass": corpus_audio_pass,
    "fuzz_single_file": corpus_single_file,
    "fuzz_reorder_window": corpus_reorder_window,
    "fuzz_fec_recovery": corpus_fec_recovery,
    "fuzz_pcap_reader": corpus_pcap_reader,
    "fuzz_stream_unwrap": corpus_stream_unwrap,
}


def main():
    for target, make in CORPORA.items():
        directory = os.path.join(ROOT, target)
        shutil.rmtree(directory, ignore_errors=True)
        os.makedirs(directory)
        total = 0
        for name, data in make().items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)
            total += len(data)
        print(f"{target}: {len(make())} inputs, {total} bytes")


if __name__ == "__main__":
    main()
