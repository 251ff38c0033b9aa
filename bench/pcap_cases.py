#!/usr/bin/env python3
"""Writes the hostile pcaps of bench/pcap_bench.sh's bounds section (raw IP, UDP, RTP).

  pcap_cases.py ssrcs N FILE      N one-packet SSRCs on one flow, a millisecond apart
  pcap_cases.py senders N FILE    N senders (source addresses), one packet each
  pcap_cases.py headers N FILE    N header-only RTP packets of one SSRC at one capture time

Standard library only.
"""

import struct
import sys


def frame(sport, src, payload):
    udp = struct.pack(">HHHH", sport, 5004, 8 + len(payload), 0) + payload
    return struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0, src,
                       b"\x0a\x00\x00\x02") + udp


def rtp(ssrc, seq, ts, payload=b"\x10\x00\x9d"):
    return struct.pack(">BBHII", 0x80, 96, seq & 0xFFFF, ts, ssrc) + payload


def main():
    kind, n, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    t0 = 1700000000
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))
        chunk = []
        for i in range(n):
            if kind == "ssrcs":
                data, t = frame(40000, b"\x0a\x00\x00\x01", rtp(i + 1, 1, 0)), i * 1000
            elif kind == "senders":
                src = struct.pack(">I", 0x0B000000 + i)
                data, t = frame(40000, src, rtp(i + 1, 1, 0)), i * 1000
            else:
                data, t = frame(40000, b"\x0a\x00\x00\x01", rtp(7, i, 0, b"")), 0
            chunk.append(struct.pack("<IIII", t0 + t // 1000000, t % 1000000, len(data),
                                     len(data)) + data)
            if len(chunk) == 65536:
                out.write(b"".join(chunk))
                chunk = []
        out.write(b"".join(chunk))


main()
