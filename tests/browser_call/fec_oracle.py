"""The most VP8 frames any receiver could rebuild from a recorded call: an oracle written from the
RFCs alone, apart from the converter.

From the pcap it takes the RTP packets that arrived, puts RTX back (RFC 4588: the original
sequence number leads the payload, the payload type is the one `apt` names), unwraps RED (RFC 2198:
4-byte block headers while F is set, then a 1-byte one; the primary block is the last), and XORs
every FEC packet whose protected packets are all there but one, over and over until no FEC packet
rebuilds anything more: ULPFEC inside RED on the media SSRC (RFC 5109 sections 7, 8 and 10) and
FlexFEC on an SSRC of its own (draft-ietf-payload-flexible-fec-scheme-03 as Chromium sends it).
Then, per media SSRC, a VP8 frame (RFC 7741) is whole when every packet from the one with S set
and partition 0 to the one with the marker is there, numbers contiguous, one timestamp.

The sender computes its FEC before it writes some header extension values (transport-wide
sequence number, abs-send-time, transmission offset; video-timing from its pacer-exit field at
offset 7 on): those bytes are taken as zero in every packet XORed, named by the SDP's a=extmap."""

import struct

REWRITTEN = {
    "urn:ietf:params:rtp-hdrext:toffset": 0,
    "http://www.webrtc.org/experiments/rtp-hdrext/abs-send-time": 0,
    "http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01": 0,
    "http://www.webrtc.org/experiments/rtp-hdrext/transport-wide-cc-02": 0,
    "http://www.webrtc.org/experiments/rtp-hdrext/video-timing": 7,
}


REBUILT = []  # (SSRC, sequence number) of every packet rebuilt: for a look when a check fails


def sdp_names(sdps):
    """Payload type names, RTX apt, and rewritten extension ids (id: first byte zeroed) of the
    video sections."""
    names, apt, rewritten = {}, {}, {}
    for sdp in sdps:
        video = False
        for line in sdp.splitlines():
            if line.startswith("m="):
                video = line.startswith("m=video")
            if not video:
                continue
            if line.startswith("a=rtpmap:"):
                pt, name = line[9:].split(" ", 1)
                names[int(pt)] = name.split("/")[0].lower()
            elif line.startswith("a=fmtp:") and "apt=" in line:
                pt = int(line[7:].split(" ", 1)[0])
                apt[pt] = int(line.split("apt=")[1].split(";")[0])
            elif line.startswith("a=extmap:"):
                ident, uri = line[9:].split(" ")[:2]
                if uri in REWRITTEN:
                    rewritten[int(ident.split("/")[0])] = REWRITTEN[uri]
    return names, apt, rewritten


def udp_payloads(path):
    """The UDP payloads of a pcap file (Ethernet, Linux cooked v1/v2, raw IP, BSD loopback)."""
    data = open(path, "rb").read()
    magic = data[:4]
    endian = "<" if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1") else ">"
    link = struct.unpack(endian + "I", data[20:24])[0] & 0x0FFFFFFF
    at = 24
    while at + 16 <= len(data):
        caplen = struct.unpack(endian + "I", data[at + 8:at + 12])[0]
        frame = data[at + 16:at + 16 + caplen]
        at += 16 + caplen
        if link == 1:
            off, etype = 14, struct.unpack(">H", frame[12:14])[0]
            while etype in (0x8100, 0x88A8, 0x9100):
                etype = struct.unpack(">H", frame[off + 2:off + 4])[0]
                off += 4
        elif link == 113:
            off, etype = 16, struct.unpack(">H", frame[14:16])[0]
        elif link == 276:
            off, etype = 20, struct.unpack(">H", frame[0:2])[0]
        elif link == 0:
            off, etype = 4, 0x86DD if frame[0] in (10, 24, 28, 30) else 0x0800
        else:
            off, etype = 0, 0x0800 if frame[0] >> 4 == 4 else 0x86DD
        ip = frame[off:]
        if etype == 0x0800 and len(ip) >= 20 and ip[9] == 17:
            udp = ip[(ip[0] & 15) * 4:]
        elif etype == 0x86DD and len(ip) >= 40 and ip[6] == 17:
            udp = ip[40:]
        else:
            continue
        if len(udp) >= 8:
            yield udp[8:struct.unpack(">H", udp[4:6])[0]]


def header_length(p):
    """Bytes before the payload (RFC 3550 5.1, 5.3.1), or None when it does not fit."""
    n = 12 + 4 * (p[0] & 15)
    if p[0] & 0x10:
        if n + 4 > len(p):
            return None
        n += 4 + 4 * struct.unpack(">H", p[n + 2:n + 4])[0]
    return n if n <= len(p) else None


def payload_end(p):
    return len(p) - (p[-1] if p[0] & 0x20 else 0)


def zeroed(p, rewritten):
    """The packet as the sender's FEC saw it: rewritten extension bytes zero (RFC 8285)."""
    if not (p[0] & 0x10) or not rewritten:
        return p
    q = bytearray(p)
    at = 12 + 4 * (p[0] & 15)
    profile, words = struct.unpack(">HH", p[at:at + 4])
    end = min(len(p), at + 4 + 4 * words)
    at += 4
    one_byte = profile == 0xBEDE
    if not one_byte and profile & 0xFFF0 != 0x1000:
        return p
    while at < end:
        if p[at] == 0:
            at += 1
            continue
        if one_byte:
            ident, length = p[at] >> 4, (p[at] & 15) + 1
            if ident == 15:
                break
            at += 1
        else:
            if at + 2 > end:
                break
            ident, length = p[at], p[at + 1]
            at += 2
        if at + length > end:
            break
        if ident in rewritten:
            for i in range(at + rewritten[ident], at + length):
                q[i] = 0
        at += length
    return bytes(q)


def red_primary(p, h):
    """(payload type, block) of the RED packet's primary block, or None."""
    at, skip = h, 0
    end = payload_end(p)
    while at < end and p[at] & 0x80:
        if at + 4 > end:
            return None
        skip += ((p[at + 2] & 3) << 8) | p[at + 3]
        at += 4
    if at >= end:
        return None
    block = at + 1 + skip
    return (p[at] & 0x7F, p[block:end]) if block <= end else None


class Stream:
    """One media SSRC: its packets by extended sequence number, and the highest number so far."""

    def __init__(self):
        self.packets = {}
        self.highest = None

    def extend(self, seq16):
        if self.highest is None:
            return (1 << 32) + seq16
        delta = (seq16 - self.highest) & 0xFFFF
        return self.highest + (delta - 0x10000 if delta >= 0x8000 else delta)

    def put(self, seq16, packet):
        ext = self.extend(seq16)
        if self.highest is None or ext > self.highest:
            self.highest = ext
        self.packets.setdefault(ext, packet)


def ulpfec_header(body):
    """RFC 5109 7.3 and 8.2: (first 2 bytes, SN base, TS, length recovery, offsets, payload)."""
    if len(body) < 14:
        return None
    long_mask = body[0] & 0x40
    level = 10 + (8 if long_mask else 4)
    if len(body) < level:
        return None
    base = struct.unpack(">H", body[2:4])[0]
    bits = 48 if long_mask else 16
    mask = int.from_bytes(body[12:12 + bits // 8], "big")
    offsets = [i for i in range(bits) if mask & (1 << (bits - 1 - i))]
    protection = struct.unpack(">H", body[10:12])[0]
    return (body[0:2], base, body[4:8], struct.unpack(">H", body[8:10])[0], offsets,
            body[level:level + protection])


def flexfec_header(p):
    """draft-ietf-payload-flexible-fec-scheme-03 with one SSRC, as Chromium sends it: (protected
    SSRC, first 2 bytes, SN base, TS, length recovery, offsets, payload), or None."""
    h = header_length(p)
    if h is None:
        return None
    f = p[h:payload_end(p)]
    if len(f) < 20 or f[0] & 0xC0 or f[8] != 1:
        return None
    ssrc = struct.unpack(">I", f[12:16])[0]
    base = struct.unpack(">H", f[16:18])[0]
    offsets = []
    m = struct.unpack(">H", f[18:20])[0]
    offsets += [i for i in range(15) if m & (0x4000 >> i)]
    at = 20
    if not m & 0x8000:
        if len(f) < 24:
            return None
        m = struct.unpack(">I", f[20:24])[0]
        offsets += [15 + i for i in range(31) if m & (0x40000000 >> i)]
        at = 24
        if not m & 0x80000000:
            if len(f) < 32:
                return None
            m = struct.unpack(">Q", f[24:32])[0]
            offsets += [46 + i for i in range(63) if m & (1 << (62 - i))]
            at = 32
    return ssrc, f[0:2], base, f[4:8], struct.unpack(">H", f[2:4])[0], offsets, f[at:]


def rebuild(fec, ssrc, others, rewritten):
    """XORs the FEC packet with the protected packets at hand (RFC 5109 10.4): the one missing."""
    first2, length, ts, payload = bytearray(fec[0]), fec[1], bytearray(fec[2]), bytearray(fec[3])
    for o in others:
        o = zeroed(o, rewritten)
        first2[0] ^= o[0]
        first2[1] ^= o[1]
        length ^= len(o) - 12
        for i in range(4):
            ts[i] ^= o[4 + i]
        body = o[12:]
        if len(body) > len(payload):
            return None
        for i, b in enumerate(body):
            payload[i] ^= b
    if length > len(payload) or any(payload[length:]):
        return None
    seq_placeholder = b"\0\0"
    return bytes([0x80 | (first2[0] & 0x3F), first2[1]]) + seq_placeholder + bytes(ts) + \
        struct.pack(">I", ssrc) + bytes(payload[:length])


def vp8_frame_start(p):
    h = header_length(p)
    if h is None or h >= payload_end(p):
        return None
    return bool(p[h] & 0x10) and (p[h] & 7) == 0


def picture_id(p):
    """The VP8 payload descriptor's PictureID (RFC 7741 4.2) and its modulus, or None."""
    at = header_length(p)
    if p[at] & 0x80 == 0 or at + 2 >= len(p) or p[at + 1] & 0x80 == 0:
        return None
    if p[at + 2] & 0x80:
        return ((p[at + 2] & 0x7F) << 8) | p[at + 3], 1 << 15
    return p[at + 2] & 0x7F, 1 << 7


def whole_frames(stream):
    """(the VP8 frames of the stream whose packets are all there, from the S bit to the marker,
    from the first key frame on;
    whether their PictureIDs follow on one from the next, so that no frame between is missing)."""
    count, last, gapless, started = 0, None, True, False
    have = stream.packets
    for s in sorted(have):
        p = have[s]
        if payload_end(p) <= (header_length(p) or len(p)) or not vp8_frame_start(p):
            continue
        ts, n = p[4:8], s
        while n in have and have[n][4:8] == ts and payload_end(have[n]) > header_length(have[n]):
            if have[n][1] & 0x80:
                # A player starts at a key frame: whole frames before the first count for none.
                started = started or descriptor(p)["key"]
                if not started:
                    break
                count += 1
                pid = picture_id(p)
                if pid is None or (last is not None and pid[0] != (last + 1) % pid[1]):
                    gapless = False
                last = pid[0] if pid else None
                break
            n += 1
    return count, gapless


def oracle(pcap, sdps, media_ssrcs, rtx_ssrcs):
    """{media SSRC: (whole frames, whether none is missing between them, packets rebuilt, frames
    that decode by the layer dependency rule or None)}. `rtx_ssrcs` maps an RTX SSRC to its media
    SSRC."""
    names, apt, rewritten = sdp_names(sdps)
    streams = {s: Stream() for s in media_ssrcs}
    fecs = []  # (media SSRC, extended SN base, header)

    def media(ssrc, p, pt):
        h = header_length(p)
        if h is None:
            return
        if names.get(pt) == "red":
            red = red_primary(p, h)
            if red is None:
                return
            block_pt, block = red
            if names.get(block_pt) == "ulpfec":
                hdr = ulpfec_header(block)
                if hdr:
                    s = streams[ssrc]
                    fecs.append((ssrc, s.extend(hdr[1]) if s.highest else None, hdr))
                return
            p = bytes([p[0] & 0xDF, (p[1] & 0x80) | block_pt]) + p[2:h] + block
        seq = struct.unpack(">H", p[2:4])[0]
        streams[ssrc].put(seq, p)

    for p in udp_payloads(pcap):
        if len(p) < 12 or p[0] >> 6 != 2 or 72 <= (p[1] & 0x7F) <= 76:
            continue
        ssrc, pt = struct.unpack(">I", p[8:12])[0], p[1] & 0x7F
        if ssrc in streams:
            media(ssrc, p, pt)
        elif ssrc in rtx_ssrcs:
            h = header_length(p)
            if h is None or payload_end(p) < h + 2 or pt not in apt:
                continue  # a probe
            osn = p[h:h + 2]
            restored = bytes([p[0] & 0xDF, (p[1] & 0x80) | apt[pt]]) + osn + p[4:8] + \
                struct.pack(">I", rtx_ssrcs[ssrc]) + p[12:h] + p[h + 2:payload_end(p)]
            media(rtx_ssrcs[ssrc], restored, apt[pt])
        elif names.get(pt) == "flexfec-03":
            hdr = flexfec_header(p)
            if hdr and hdr[0] in streams:
                s = streams[hdr[0]]
                fecs.append((hdr[0], s.extend(hdr[2]) if s.highest else None,
                             (hdr[1], hdr[2], hdr[3], hdr[4], hdr[5], hdr[6])))

    rebuilt = {s: 0 for s in streams}
    pending = [(ssrc, base, (h[0], h[3], h[2], h[5]), h[4]) for ssrc, base, h in fecs
               if base is not None]
    progress = True
    while progress:
        progress = False
        left = []
        for ssrc, base, fec, offsets in pending:
            have = streams[ssrc].packets
            missing = [base + o for o in offsets if base + o not in have]
            if len(missing) > 1:
                left.append((ssrc, base, fec, offsets))
                continue
            if not missing:
                continue
            others = [have[base + o] for o in offsets if base + o in have]
            p = rebuild(fec, ssrc, others, rewritten)
            if p is None:
                continue
            seq = missing[0]
            have[seq] = p[:2] + struct.pack(">H", seq & 0xFFFF) + p[4:]
            rebuilt[ssrc] += 1
            REBUILT.append((ssrc, seq & 0xFFFF))
            progress = True
        pending = left
    # Frames are counted over the VP8 packets alone (not a rebuilt packet of another type).
    for st in streams.values():
        st.packets = {k: p for k, p in st.packets.items() if names.get(p[1] & 0x7F) == "vp8"}
    return {s: (*whole_frames(streams[s]), rebuilt[s], decodable(streams[s])) for s in streams}


def descriptor(p):
    """RFC 7741 4.2: the VP8 payload descriptor of a packet as a dict, or None."""
    at, end = header_length(p), payload_end(p)
    if at is None or at >= end:
        return None
    d = {"n": bool(p[at] & 0x20), "start": bool(p[at] & 0x10) and (p[at] & 7) == 0,
         "pid": None, "tl0": None, "tid": None, "y": False}
    first = p[at]
    at += 1
    if first & 0x80:
        if at >= end:
            return None
        x = p[at]
        at += 1
        if x & 0x80:
            if at >= end:
                return None
            if p[at] & 0x80:
                d["pid"], d["bits"] = ((p[at] & 0x7F) << 8) | p[at + 1], 15
                at += 2
            else:
                d["pid"], d["bits"] = p[at], 7
                at += 1
        if x & 0x40:
            d["tl0"] = p[at]
            at += 1
        if x & 0x30:
            if x & 0x20:
                d["tid"], d["y"] = p[at] >> 6, bool(p[at] & 0x20)
            at += 1
    # The VP8 payload header (RFC 7741 4.3) at the start of a frame: P = 0 is a key frame.
    d["key"] = d["start"] and at < end and not p[at] & 1
    return d


def frames(stream):
    """The stream's frames in order of picture id: dicts with the descriptor, `whole`, and for a
    run of frames lost with every packet, {"lost": count}. None without picture ids."""
    have, out, by_pid = stream.packets, [], {}
    for s in sorted(have):
        d = descriptor(have[s])
        if d is None or payload_end(have[s]) <= header_length(have[s]):
            continue
        if d["pid"] is None:
            return None
        f = by_pid.get(d["pid"])
        if f is None:
            f = by_pid[d["pid"]] = dict(d, whole=False)
            out.append(f)
        if d["start"]:
            f.update(d)
            ts, n = have[s][4:8], s
            while n in have and have[n][4:8] == ts:
                if have[n][1] & 0x80:
                    f["whole"] = True
                    break
                n += 1
    full = []
    for f in out:
        if full:
            gap = (f["pid"] - full[-1]["pid"] - 1) % (1 << f["bits"])
            if gap:
                full.append({"lost": gap})
        full.append(f)
    return full


def decodable(stream):
    """How many whole frames decode, by the VP8 descriptor (RFC 7741 4.2), each layer's frames
    taken to refer to the latest reference frame of each layer they may use: a frame of temporal
    layer t (TID) refers to layers 0..t, a layer-sync frame (Y) to the base layer alone, a key
    frame to nothing, and a non-reference frame (N) is referred to by none. A layer is broken when
    its latest reference frame is lost or does not decode, and whole again at a layer-sync frame of
    its own that decodes (or a key frame). A run of frames lost with every packet held a base-layer
    frame when TL0PICIDX moved on more than the frames on either side account for; the others of
    the run are taken for layer 1. Until the first key frame nothing decodes."""
    fs = frames(stream)
    if fs is None:
        return None
    broken = [True] * 4
    count = 0
    for i, f in enumerate(fs):
        if "lost" in f:
            a = next((g for g in reversed(fs[:i]) if "lost" not in g), None)
            b = fs[i + 1] if i + 1 < len(fs) else None
            if a is None or b is None or a["tl0"] is None or b["tl0"] is None:
                broken[0] = True
            elif (b["tl0"] - a["tl0"]) % 256 > (1 if b["tid"] == 0 else 0):
                broken[0] = True
            if f["lost"] > 1 or not broken[0]:
                broken[1] = True
            continue
        t = f["tid"] or 0
        if f["whole"] and f["key"]:
            broken = [False] * 4
            count += 1
            continue
        if f["whole"] and f["y"] and t > 0:
            ok = not broken[0]
        else:
            ok = f["whole"] and not any(broken[:t + 1])
        if ok:
            count += 1
            if f["y"]:
                broken[t] = False
        elif not f["n"]:
            broken[t] = True
    return count
