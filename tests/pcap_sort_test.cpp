// transcode-pcap's units: frames of every link type taken apart, packets sorted into kinds and
// users, RFC 4571 over TCP, bad files, and a round trip of synthesized captures through a pcap.

#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "capture_files.h"
#include "harness.h"
#include "packet_sorter.h"
#include "pcap_frame.h"
#include "pcap_input.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace pcapin;

void be16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void be32(Bytes& b, uint32_t v) {
    be16(b, v >> 16);
    be16(b, v & 0xFFFF);
}
Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes rtp(int pt, uint16_t seq, uint32_t ts, uint32_t ssrc, size_t payload = 20) {
    Bytes b = {0x80, static_cast<uint8_t>(pt)};
    be16(b, seq);
    be32(b, ts);
    be32(b, ssrc);
    b.resize(b.size() + payload, 0xAB);
    return b;
}

Bytes udp(uint16_t sport, uint16_t dport, const Bytes& payload, int length_delta = 0) {
    Bytes b;
    be16(b, sport);
    be16(b, dport);
    be16(b, static_cast<uint32_t>(static_cast<int>(8 + payload.size()) + length_delta));
    be16(b, 0);
    return cat(b, payload);
}

// flags_frag: the 16-bit flags and fragment offset field.
Bytes ipv4(const Bytes& transport, uint8_t proto = 17, uint16_t flags_frag = 0, uint8_t host = 1) {
    Bytes b = {0x45, 0};
    be16(b, static_cast<uint32_t>(20 + transport.size()));
    be16(b, 0);
    be16(b, flags_frag);
    b.insert(b.end(), {64, proto, 0, 0, 192, 168, 0, host, 192, 168, 0, 99});
    return cat(b, transport);
}

// next: the first next-header value; ext: extension headers already encoded.
Bytes ipv6(const Bytes& transport, uint8_t next = 17, const Bytes& ext = {}) {
    Bytes b = {0x60, 0, 0, 0};
    be16(b, static_cast<uint32_t>(ext.size() + transport.size()));
    b.push_back(next);
    b.push_back(64);
    for (int i = 0; i < 32; ++i) b.push_back(static_cast<uint8_t>(i == 15 ? 1 : i == 31 ? 2 : 0));
    return cat(cat(b, ext), transport);
}

Bytes ethernet(const Bytes& ip, uint16_t type, const std::vector<uint16_t>& tags = {}) {
    Bytes b(12, 0x02);
    for (uint16_t tag_type : tags) {
        be16(b, tag_type);
        be16(b, 7);  // VLAN id
    }
    be16(b, type);
    return cat(b, ip);
}
Bytes sll(const Bytes& ip, uint16_t type) {
    Bytes b(14, 0);
    be16(b, type);
    return cat(b, ip);
}
Bytes sll2(const Bytes& ip, uint16_t type) {
    Bytes b;
    be16(b, type);
    b.resize(20, 0);
    return cat(b, ip);
}
Bytes loopback(const Bytes& ip, uint32_t af, bool big_endian) {
    Bytes b;
    if (big_endian)
        be32(b, af);
    else
        b = {static_cast<uint8_t>(af), 0, 0, 0};
    return cat(b, ip);
}

// NFLOG: header (family, version, resource id), then TLVs (length, type) in the capturing host's
// byte order, each padded to 4 bytes; type 9 holds the packet.
Bytes nflog(const Bytes& ip, uint8_t family, bool big_endian = false, bool with_payload = true) {
    Bytes b = {family, 0, 0, 1};
    auto tlv = [&](uint16_t type, const Bytes& value) {
        const uint32_t len = static_cast<uint32_t>(4 + value.size());
        if (big_endian) {
            be16(b, len);
            be16(b, type);
        } else {
            b.insert(b.end(), {static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8),
                               static_cast<uint8_t>(type), 0});
        }
        b = cat(b, value);
        b.resize((b.size() + 3) & ~size_t{3}, 0);
    };
    tlv(10, {'c', 'a', 'l', 'l', 0});  // a log prefix
    tlv(1, {0x08, 0x00, 3, 0});        // packet header
    if (with_payload) tlv(9, ip);
    return b;
}

const Bytes kRtp = rtp(96, 1, 1000, 0x1234);
const Bytes kUdp4 = ipv4(udp(5000, 6000, kRtp));
const Bytes kUdp6 = ipv6(udp(5000, 6000, kRtp));

struct FrameCase {
    const char* name;
    int link;
    Bytes frame;
    size_t missing;  // bytes the snapshot length cut off the end
    FrameStatus status;
    bool ipv6;
};

TEST(PcapFrame, EachLinkTypeAndIpVersion) {
    Bytes hop_by_hop = {17, 0, 0, 0, 0, 0, 0, 0};  // next header UDP, 8 bytes
    Bytes fragment_header = {17, 0, 0, 1, 0, 0, 0, 9};
    Bytes odd_tcp;  // a 20-byte TCP header, data offset 5
    be16(odd_tcp, 5000);
    be16(odd_tcp, 6000);
    be32(odd_tcp, 1);
    be32(odd_tcp, 0);
    odd_tcp.insert(odd_tcp.end(), {0x50, 0x18, 0, 0, 0, 0, 0, 0});
    const Bytes nflog4 = nflog(kUdp4, 2);
    const std::vector<FrameCase> cases = {
        {"ethernet v4", kLinkEthernet, ethernet(kUdp4, 0x0800), 0, FrameStatus::ok, false},
        {"ethernet v6", kLinkEthernet, ethernet(kUdp6, 0x86DD), 0, FrameStatus::ok, true},
        {"802.1Q", kLinkEthernet, ethernet(kUdp4, 0x0800, {0x8100}), 0, FrameStatus::ok, false},
        {"QinQ", kLinkEthernet, ethernet(kUdp6, 0x86DD, {0x88A8, 0x8100}), 0, FrameStatus::ok,
         true},
        {"QinQ old 0x9100", kLinkEthernet, ethernet(kUdp4, 0x0800, {0x9100}), 0, FrameStatus::ok,
         false},
        {"ethernet padding", kLinkEthernet, cat(ethernet(kUdp4, 0x0800), Bytes(6, 0)), 0,
         FrameStatus::ok, false},
        {"arp", kLinkEthernet, ethernet(Bytes(28, 0), 0x0806), 0, FrameStatus::not_ip, false},
        {"ethernet head cut", kLinkEthernet, Bytes(13, 0), 0, FrameStatus::malformed, false},
        {"sll v4", kLinkLinuxSll, sll(kUdp4, 0x0800), 0, FrameStatus::ok, false},
        {"sll2 v6", kLinkLinuxSll2, sll2(kUdp6, 0x86DD), 0, FrameStatus::ok, true},
        {"sll2 head cut", kLinkLinuxSll2, Bytes(19, 0), 1, FrameStatus::cut, false},
        {"null little-endian v4", kLinkNull, loopback(kUdp4, 2, false), 0, FrameStatus::ok, false},
        {"null big-endian v6 (30)", kLinkNull, loopback(kUdp6, 30, true), 0, FrameStatus::ok, true},
        {"null linux v6 (10)", kLinkNull, loopback(kUdp6, 10, false), 0, FrameStatus::ok, true},
        {"null unknown family", kLinkNull, loopback(kUdp4, 7, false), 0, FrameStatus::not_ip,
         false},
        {"loop v4", kLinkLoop, loopback(kUdp4, 2, true), 0, FrameStatus::ok, false},
        {"raw v4", kLinkRaw, kUdp4, 0, FrameStatus::ok, false},
        {"nflog v4", kLinkNflog, nflog(kUdp4, 2), 0, FrameStatus::ok, false},
        {"nflog v6", kLinkNflog, nflog(kUdp6, 10), 0, FrameStatus::ok, true},
        {"nflog big-endian TLVs", kLinkNflog, nflog(kUdp4, 2, true), 0, FrameStatus::ok, false},
        {"nflog without the packet", kLinkNflog, nflog(kUdp4, 2, false, false), 0,
         FrameStatus::not_ip, false},
        {"nflog packet cut by snaplen", kLinkNflog, Bytes(nflog4.begin(), nflog4.end() - 8), 8,
         FrameStatus::cut, false},
        {"nflog TLV shorter than its header", kLinkNflog, Bytes{2, 0, 0, 1, 2, 0, 9, 0}, 0,
         FrameStatus::malformed, false},
        {"raw v6", kLinkRawPcap, kUdp6, 0, FrameStatus::ok, true},
        {"ipv4 link", kLinkIpv4, kUdp4, 0, FrameStatus::ok, false},
        {"ipv6 link", kLinkIpv6, kUdp6, 0, FrameStatus::ok, true},
        {"raw version 5", kLinkRaw, Bytes{0x50, 0}, 0, FrameStatus::not_ip, false},
        {"v6 hop-by-hop", kLinkRaw, ipv6(udp(5000, 6000, kRtp), 0, hop_by_hop), 0, FrameStatus::ok,
         true},
        {"v6 fragment", kLinkRaw, ipv6(udp(5000, 6000, kRtp), 44, fragment_header), 0,
         FrameStatus::fragment, true},
        {"v4 more fragments", kLinkRaw, ipv4(udp(5000, 6000, kRtp), 17, 0x2000), 0,
         FrameStatus::fragment, false},
        {"v4 last fragment", kLinkRaw, ipv4(Bytes(30, 0), 17, 0x0001), 0, FrameStatus::fragment,
         false},
        {"v4 don't fragment", kLinkRaw, ipv4(udp(5000, 6000, kRtp), 17, 0x4000), 0, FrameStatus::ok,
         false},
        {"icmp", kLinkRaw, ipv4(Bytes(8, 0), 1), 0, FrameStatus::other_ip, false},
        {"tcp", kLinkRaw, ipv4(odd_tcp, 6), 0, FrameStatus::ok, false},
        // The UDP length against the bytes there: one more than captured is a cut frame when the
        // snapshot length cut it, a broken one when it did not.
        {"udp cut by snaplen", kLinkRaw, Bytes(kUdp4.begin(), kUdp4.end() - 1), 1, FrameStatus::cut,
         false},
        {"udp one byte short", kLinkRaw, ipv4(udp(5000, 6000, kRtp, 1)), 0, FrameStatus::malformed,
         false},
        {"udp length under 8", kLinkRaw,
         ipv4(udp(5000, 6000, kRtp, -static_cast<int>(kRtp.size()) - 1)), 0, FrameStatus::malformed,
         false},
        {"udp length exact", kLinkRaw, ipv4(udp(5000, 6000, kRtp, -1)), 0, FrameStatus::ok, false},
        {"cut after the payload", kLinkEthernet, ethernet(kUdp4, 0x0800), 4, FrameStatus::ok,
         false},
    };
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.name);
        const FrameInfo info =
            parse_frame(c.link, c.frame.data(), c.frame.size(), c.frame.size() + c.missing);
        EXPECT_EQ(static_cast<int>(info.status), static_cast<int>(c.status));
        if (c.status != FrameStatus::ok) {
            EXPECT_EQ(info.payload, nullptr);
            continue;
        }
        EXPECT_EQ(info.ipv6, c.ipv6);
        EXPECT_EQ(info.src_port, 5000);
        EXPECT_EQ(info.dst_port, 6000);
        if (info.protocol == kProtoUdp) {
            const size_t expect =
                std::string(c.name) == "udp length exact" ? kRtp.size() - 1 : kRtp.size();
            ASSERT_EQ(info.payload_len, expect);
            EXPECT_EQ(0, memcmp(info.payload, kRtp.data(), expect));
        }
    }
}

// ---- Sorting ---------------------------------------------------------------------------------

struct Out {
    int kind;
    uint64_t time_us;
    uint32_t uid;
    Bytes packet;
};

struct Collect {
    std::vector<Out> records;
    RecordSink sink() {
        return RecordSink{
            this, [](void* ctx, int kind, uint64_t t, uint32_t uid, const uint8_t* p, size_t n) {
                static_cast<Collect*>(ctx)->records.push_back(Out{kind, t, uid, Bytes(p, p + n)});
            }};
    }
};

// One UDP datagram from host `host` (port 5000 + host) as raw IPv4.
void feed(PacketSorter& s, uint64_t t, const Bytes& payload, uint8_t host = 1) {
    const Bytes f = ipv4(udp(static_cast<uint16_t>(5000 + host), 6000, payload), 17, 0, host);
    s.frame(kLinkRaw, t, f.data(), f.size(), f.size());
}

TEST(PcapSort, DemultiplexesByFirstBytes) {
    struct Case {
        Bytes payload;
        uint64_t SortCounts::*counter;
    };
    const Bytes rtp_pt96 = rtp(96, 1, 0, 7);
    Bytes marker_pt63 = rtp(63, 1, 0, 7);
    marker_pt63[1] = 0xBF;  // 191: the last byte value that is not RTCP
    Bytes marker_pt96 = rtp(96, 1, 0, 7);
    marker_pt96[1] = 0xE0;  // 224: the first one above RTCP
    const std::vector<Case> cases = {
        {{0, 1, 0, 0}, &SortCounts::stun},      {{3, 0}, &SortCounts::stun},
        {{4, 0}, &SortCounts::not_rtp},         {{19, 0}, &SortCounts::not_rtp},
        {{20, 0}, &SortCounts::dtls},           {{63, 0}, &SortCounts::dtls},
        {{64, 0}, &SortCounts::not_rtp},        {{127, 0}, &SortCounts::not_rtp},
        {{0x80, 191}, &SortCounts::not_rtp},    {{0x80, 192, 0, 1}, &SortCounts::rtcp},
        {{0x81, 223, 0, 1}, &SortCounts::rtcp}, {marker_pt63, &SortCounts::rtp},
        {marker_pt96, &SortCounts::rtp},        {rtp_pt96, &SortCounts::rtp},
        {{192, 96}, &SortCounts::not_rtp},      {{}, &SortCounts::not_rtp},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        Collect got;
        SortOptions o;
        PacketSorter s(o, got.sink());
        feed(s, 0, cases[i].payload);
        s.finish();
        EXPECT_EQ(s.counts().*cases[i].counter, 1u);
        EXPECT_EQ(got.records.size(), cases[i].counter == &SortCounts::rtp ? 1u : 0u);
    }
}

TEST(PcapSort, RtpHeaderLengthsAreChecked) {
    Bytes ok_padding = rtp(96, 1, 0, 7, 4);
    ok_padding[0] |= 0x20;
    ok_padding.back() = 4;  // all four payload bytes are padding: a probe, still kept
    Bytes too_much_padding = ok_padding;
    too_much_padding.back() = 5;
    Bytes zero_padding = ok_padding;
    zero_padding.back() = 0;
    Bytes csrc_past_end = rtp(96, 1, 0, 7, 3);
    csrc_past_end[0] |= 1;
    Bytes extension_past_end = rtp(96, 1, 0, 7, 4);
    extension_past_end[0] |= 0x10;
    extension_past_end[15] = 1;  // one word of extension data that is not there
    const std::vector<std::pair<Bytes, bool>> cases = {
        {ok_padding, true},       {too_much_padding, false},   {zero_padding, false},
        {csrc_past_end, false},   {extension_past_end, false}, {rtp(96, 1, 0, 7, 0), true},
        {Bytes(11, 0x80), false},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        Collect got;
        PacketSorter s(SortOptions{}, got.sink());
        feed(s, 0, cases[i].first);
        s.finish();
        EXPECT_EQ(got.records.size(), cases[i].second ? 1u : 0u);
    }
}

// Packets of one SSRC every 20 ms for `span_us`, timestamps advancing at `hz`.
void stream(PacketSorter& s, uint32_t ssrc, double hz, uint64_t span_us, uint8_t host = 1,
            uint64_t start_us = 0) {
    for (uint64_t t = 0;; t += 20000) {
        if (t > span_us) t = span_us;
        feed(s, start_us + t,
             rtp(100, static_cast<uint16_t>(t / 20000),
                 static_cast<uint32_t>(static_cast<double>(t) * hz / 1e6), ssrc),
             host);
        if (t == span_us) break;
    }
}

TEST(PcapSort, KindFromTheRtpClock) {
    struct Case {
        double hz;
        uint64_t span_us;
        int kind;
        bool decided_before_end;
        KindFrom from;
    };
    // Known clocks within 15%: 90 kHz video; 48, 16 and 8 kHz audio. Anything else is no clock:
    // said, and guessed (here with nothing else to go by: video).
    const std::vector<Case> cases = {
        {90000, 2000000, kVideo, true, KindFrom::clock},
        {48000, 2000000, kAudio, true, KindFrom::clock},
        {76500, 2000000, kVideo, true, KindFrom::clock},
        {55200, 2000000, kAudio, true, KindFrom::clock},
        {16000, 2000000, kAudio, true, KindFrom::clock},
        {8000, 2000000, kAudio, true, KindFrom::clock},
        {72000, 2000000, kVideo, false, KindFrom::guess},
        {65000, 2000000, kVideo, false, KindFrom::guess},
        {90000, 1999999, kVideo, false, KindFrom::clock},
        {48000, 300000, kAudio, false, KindFrom::clock},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hz);
        SCOPED_TRACE(c.span_us);
        Collect got;
        PacketSorter s(SortOptions{}, got.sink());
        stream(s, 42, c.hz, c.span_us);
        EXPECT_EQ(!got.records.empty(), c.decided_before_end);
        s.finish();
        ASSERT_FALSE(got.records.empty());
        EXPECT_EQ(got.records.front().kind, c.kind);
        EXPECT_EQ(s.streams().front()->kind_from, c.from);
        EXPECT_EQ(s.streams().front()->clock_unknown, c.from == KindFrom::guess);
    }
}

// A capture clock stepped back or forward, an RTP clock stalled (a detached track): the step is
// left out and the clock measured over the rest. Audio every 20 ms at 48 kHz, video every 33 ms
// at 90 kHz, each 20 s long; after packet 20 the capture times (or the RTP times) move.
TEST(PcapSort, ClockSurvivesSteps) {
    struct Case {
        const char* name;
        int64_t capture_step_us;  // added to the capture time of every packet after the 20th
        int64_t rtp_step_ms;      // subtracted from the RTP time (a stall) after the 20th
    };
    const std::vector<Case> cases = {
        {"clock stepped back 1 s", -1000000, 0}, {"clock jumped 3 s", 3000000, 0},
        {"clock jumped 0.5 s", 500000, 0},       {"clock stepped back a day", -86400000000, 0},
        {"rtp stalled 3 s", 3000000, 3000},      {"no step", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Collect got;
        PacketSorter s(SortOptions{}, got.sink());
        const uint64_t t0 = 100000000000;
        for (int i = 0; i < 1000; ++i) {
            const int64_t step = i > 20 ? c.capture_step_us : 0;
            const int64_t stall = i > 20 ? c.rtp_step_ms : 0;
            const uint64_t ta = t0 + static_cast<uint64_t>(i * 20000 + step);
            feed(s, ta,
                 rtp(111, static_cast<uint16_t>(i), static_cast<uint32_t>((i * 20 - stall) * 48),
                     0xA0),
                 1);
            if (i < 600) {
                const uint64_t tv = t0 + static_cast<uint64_t>(i * 33333 + 7 + step);
                feed(s, tv,
                     rtp(96, static_cast<uint16_t>(i),
                         static_cast<uint32_t>((i * 33333 / 1000 - stall) * 90), 0xB0),
                     2);
            }
        }
        s.finish();
        ASSERT_EQ(s.streams().size(), 2u);
        for (const auto& st : s.streams()) {
            SCOPED_TRACE(st->ssrc);
            EXPECT_EQ(st->kind, st->ssrc == 0xA0 ? kAudio : kVideo);
            EXPECT_EQ(st->kind_from, KindFrom::clock);
            EXPECT_NEAR(st->clock_hz, st->ssrc == 0xA0 ? 48000 : 90000, 1000);
        }
        EXPECT_EQ(got.records.size(), 1600u);
    }
}

TEST(PcapSort, ProbesKeptButNotClocked) {
    Collect got;
    PacketSorter s(SortOptions{}, got.sink());
    Bytes probe = rtp(97, 1, 0, 9, 255);
    probe[0] |= 0x20;
    probe.back() = 255;
    feed(s, 0, probe);  // timestamp 0 on a stream whose clock is near 2^31
    for (uint64_t t = 100000; t <= 2100000; t += 100000)
        feed(s, t,
             rtp(97, static_cast<uint16_t>(t / 1000),
                 0x80000000u + static_cast<uint32_t>(t * 9 / 100), 9));
    s.finish();
    ASSERT_EQ(got.records.size(), 22u);
    EXPECT_EQ(got.records[0].packet, probe);
    EXPECT_EQ(got.records[0].kind, kVideo);
    EXPECT_NEAR(s.streams()[0]->clock_hz, 90000, 1);
}

TEST(PcapSort, ShortStreamsTakeTheirSendersKind) {
    struct Case {
        double other_hz;  // 0: no other stream
        int kind;
    };
    for (const Case& c : std::vector<Case>{{48000, kAudio}, {90000, kVideo}, {0, kVideo}}) {
        Collect got;
        PacketSorter s(SortOptions{}, got.sink());
        if (c.other_hz) stream(s, 1, c.other_hz, 3000000);
        feed(s, 3000000, rtp(100, 1, 5, 2));  // one packet: no clock to measure
        s.finish();
        EXPECT_EQ(got.records.back().kind, c.kind);
        EXPECT_EQ(s.streams().back()->kind_from, KindFrom::guess);
    }
}

// A call moved to another candidate pair: a few packets of an SSRC on one flow, the rest on
// another. The short flow takes the kind its SSRC has elsewhere before its sender's.
TEST(PcapSort, ShortStreamsTakeTheirSsrcsKindFromAnotherSender) {
    struct Case {
        uint32_t elsewhere;  // the SSRC host 2 streams at 48 kHz
        double sender_hz;    // host 1's other stream (SSRC 5): 0 for none
        int kind;
    };
    for (const Case& c : std::vector<Case>{
             {7, 0, kAudio}, {7, 90000, kAudio}, {8, 0, kVideo}, {8, 48000, kAudio}}) {
        SCOPED_TRACE(c.elsewhere);
        SCOPED_TRACE(c.sender_hz);
        Collect got;
        PacketSorter s(SortOptions{}, got.sink());
        if (c.sender_hz) stream(s, 5, c.sender_hz, 3000000, 1);
        stream(s, c.elsewhere, 48000, 3000000, 2);
        feed(s, 3000000, rtp(100, 1, 5, 7), 1);  // SSRC 7 on host 1: one packet, no clock
        s.finish();
        EXPECT_EQ(got.records.back().kind, c.kind);
        EXPECT_EQ(s.streams().back()->kind_from, KindFrom::guess);
    }
}

TEST(PcapSort, WaitingPacketsKeepCaptureOrderAndAreBounded) {
    SortOptions o;
    Collect got;
    PacketSorter s(o, got.sink());
    feed(s, 0, rtp(100, 1, 0, 1));       // a stream that never says more
    stream(s, 2, 48000, 4999998, 1, 1);  // waits behind it until 1 us under the limit
    EXPECT_TRUE(got.records.empty());
    feed(s, 5000000, rtp(100, 2, 0, 3));  // now the first one is decided anyway
    EXPECT_GE(got.records.size(), 250u);
    s.finish();
    for (size_t i = 1; i < got.records.size(); ++i)
        EXPECT_LE(got.records[i - 1].time_us, got.records[i].time_us);
    EXPECT_EQ(got.records.front().kind, kAudio);  // the sender's other stream is audio

    // The byte bound reached exactly by three packets: they wait; the fourth goes past it.
    const Bytes one = rtp(100, 1, 0, 9);
    o.max_queue_bytes = 3 * PacketSorter::waiting_cost(one.size());
    Collect bounded;
    PacketSorter b(o, bounded.sink());
    for (uint16_t i = 0; i < 3; ++i) feed(b, i, rtp(100, i, 0, 9));
    EXPECT_TRUE(bounded.records.empty());
    feed(b, 3, rtp(100, 3, 0, 9));
    EXPECT_EQ(bounded.records.size(), 4u);
}

TEST(PcapSort, UsersPerSenderInFirstPacketOrder) {
    SortOptions o;
    o.users = {{0xBB, 1}, {0xCC, 7}};  // 1 is taken, so automatic ids skip it
    Collect got;
    PacketSorter s(o, got.sink());
    const SdpKinds none;
    feed(s, 0, rtp(96, 1, 0, 0xAA), 3);  // sender 3: automatic id 2
    feed(s, 1, rtp(96, 1, 0, 0xBB), 4);  // sender 4: 1 from --user
    feed(s, 2, rtp(96, 1, 0, 0xAB), 3);  // sender 3 again, another SSRC: same user
    feed(s, 3, rtp(96, 1, 0, 0xCC), 3);  // --user wins over the sender
    feed(s, 4, rtp(96, 1, 0, 0xBC), 4);  // follows 0xBB's user
    feed(s, 5, rtp(96, 1, 0, 0xDD), 5);  // a third sender: 3
    s.finish();
    std::vector<uint32_t> uids;
    for (const Out& r : got.records) uids.push_back(r.uid);
    EXPECT_EQ(uids, (std::vector<uint32_t>{2, 1, 2, 7, 1, 3}));
}

// Several SSRCs on one --user id are one participant's as long as a transport carries them
// together (also after ICE moved the call: the first packets of one SSRC on a flow of their own).
TEST(PcapSort, OneUserIdOnTwoSendersIsNamed) {
    struct Case {
        const char* name;
        std::vector<std::pair<uint32_t, uint8_t>> packets;  // SSRC, host
        size_t conflicts;
    };
    const std::vector<Case> cases = {
        {"one sender", {{0xA, 1}, {0xB, 1}, {0xC, 1}}, 0},
        {"two senders", {{0xA, 1}, {0xB, 2}}, 1},
        {"ICE moved the call", {{0xA, 1}, {0xA, 2}, {0xB, 2}}, 0},
        {"moved, the other first", {{0xB, 2}, {0xA, 1}, {0xA, 2}}, 0},
        {"a third on its own", {{0xA, 1}, {0xB, 1}, {0xC, 3}}, 1},
        {"unnamed SSRCs do not count", {{0xA, 1}, {0xD, 2}}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SortOptions o;
        o.users = {{0xA, 5}, {0xB, 5}, {0xC, 5}};
        Collect got;
        PacketSorter s(o, got.sink());
        uint64_t t = 0;
        for (const auto& p : c.packets) feed(s, t++, rtp(96, 1, 0, p.first), p.second);
        s.finish();
        const auto conflicts = s.user_conflicts();
        ASSERT_EQ(conflicts.size(), c.conflicts);
        for (const auto& k : conflicts) EXPECT_EQ(k.uid, 5u);
    }
}

TEST(PcapSort, SdpNamesKinds) {
    const std::string sdp =
        "v=0\r\nm=audio 9 UDP/TLS/RTP/SAVPF 111 63\r\na=rtpmap:111 opus/48000/2\r\n"
        "a=rtpmap:63 red/48000/2\r\na=ssrc:1001 cname:x\r\n"
        "m=video 9 RTP/AVPF 96 97 63\r\na=rtpmap:96 VP8/90000\r\na=rtpmap:97 rtx/90000\r\n"
        "a=rtpmap:63 red/90000\r\na=ssrc-group:FID 2001 2002\r\nm=application 9 x\r\n"
        "a=ssrc:3001 cname:y\r\n";
    SdpKinds kinds;
    std::string error;
    ASSERT_TRUE(parse_sdp(sdp, kinds, error)) << error;
    EXPECT_EQ(kinds.ssrc,
              (std::map<uint32_t, int>{{1001, kAudio}, {2001, kVideo}, {2002, kVideo}}));
    EXPECT_EQ(kinds.payload_type, (std::map<int, int>{{111, kAudio}, {96, kVideo}, {97, kVideo}}));
    EXPECT_FALSE(parse_sdp("v=0\r\nm=application 9 x\r\n", kinds, error));

    SortOptions o;
    o.sdp = &kinds;
    Collect got;
    PacketSorter s(o, got.sink());
    feed(s, 0, rtp(63, 1, 0, 1001));  // by SSRC, with a payload type both sections use
    feed(s, 1, rtp(97, 1, 0, 4444));  // by payload type
    feed(s, 2, rtp(63, 1, 0, 5555));  // neither: waits for its clock
    EXPECT_EQ(got.records.size(), 2u);
    s.finish();
    ASSERT_EQ(got.records.size(), 3u);
    EXPECT_EQ(got.records[0].kind, kAudio);
    EXPECT_EQ(got.records[1].kind, kVideo);
    EXPECT_EQ(s.streams()[0]->kind_from, KindFrom::sdp);
    EXPECT_EQ(s.streams()[2]->kind_from, KindFrom::guess);
}

// RFC 4571 over TCP: frames split over segments, a retransmission, a segment the capture lost.
TEST(PcapSort, TcpFraming) {
    const Bytes a = rtp(96, 1, 0, 5, 30), b = rtp(96, 2, 0, 5, 40), c = rtp(96, 3, 0, 5, 50);
    Bytes stream;
    for (const Bytes* p : {&a, &b, &c}) {
        be16(stream, static_cast<uint32_t>(p->size()));
        stream.insert(stream.end(), p->begin(), p->end());
    }
    auto segment = [](uint32_t seq, uint8_t flags, const Bytes& data) {
        Bytes t;
        be16(t, 5000);
        be16(t, 6000);
        be32(t, seq);
        be32(t, 0);
        t.insert(t.end(), {0x50, flags, 0, 0, 0, 0, 0, 0});
        return ipv4(cat(t, data), 6);
    };
    const uint32_t isn = 0xFFFFFFF0u;  // sequence numbers wrap inside the stream
    const size_t cut1 = 10, cut2 = a.size() + 2 + 7;
    const std::vector<Bytes> frames = {
        segment(isn, 0x02, {}),
        segment(isn + 1, 0x18, Bytes(stream.begin(), stream.begin() + cut1)),
        segment(isn + 1, 0x18, Bytes(stream.begin(), stream.begin() + cut2)),  // overlaps
        segment(isn + 1 + static_cast<uint32_t>(cut2), 0x18,
                Bytes(stream.begin() + cut2, stream.end())),
    };
    for (bool tcp : {false, true}) {
        SortOptions o;
        o.tcp = tcp;
        Collect got;
        PacketSorter s(o, got.sink());
        for (const Bytes& f : frames) s.frame(kLinkRaw, 0, f.data(), f.size(), f.size());
        s.finish();
        if (!tcp) {
            EXPECT_EQ(s.counts().tcp_ignored, frames.size());
            continue;
        }
        ASSERT_EQ(got.records.size(), 3u);
        EXPECT_EQ(got.records[0].packet, a);
        EXPECT_EQ(got.records[1].packet, b);
        EXPECT_EQ(got.records[2].packet, c);
    }
    // A lost segment: framing restarts at the next one.
    Collect got;
    SortOptions o;
    o.tcp = true;
    PacketSorter s(o, got.sink());
    const Bytes first = segment(100, 0x18, Bytes(stream.begin(), stream.begin() + 5));
    // After the gap, b and the start of c; the rest of c in the segment after: the position
    // follows on from the gap.
    const size_t b_at = a.size() + 2, c_split = b_at + b.size() + 2 + 9;
    const Bytes after_gap = segment(100 + static_cast<uint32_t>(b_at), 0x18,
                                    Bytes(stream.begin() + static_cast<long>(b_at),
                                          stream.begin() + static_cast<long>(c_split)));
    const Bytes next = segment(100 + static_cast<uint32_t>(c_split), 0x18,
                               Bytes(stream.begin() + static_cast<long>(c_split), stream.end()));
    for (const Bytes* f : {&first, &after_gap, &next})
        s.frame(kLinkRaw, 0, f->data(), f->size(), f->size());
    s.finish();
    EXPECT_EQ(s.counts().tcp_gaps, 1u);
    ASSERT_EQ(got.records.size(), 2u);
    EXPECT_EQ(got.records[0].packet, b);
    EXPECT_EQ(got.records[1].packet, c);
}

TEST(PcapSort, StreamsAreBounded) {
    SortOptions o;
    o.max_streams = 2;
    Collect got;
    PacketSorter s(o, got.sink());
    feed(s, 0, rtp(96, 1, 0, 1), 1);
    feed(s, 1, rtp(96, 1, 0, 2), 1);
    feed(s, 2, rtp(96, 1, 0, 3), 1);  // a third SSRC
    feed(s, 3, rtp(96, 1, 0, 4), 2);  // a third sender
    feed(s, 4, rtp(96, 2, 0, 1), 1);  // a known one still goes on
    s.finish();
    EXPECT_EQ(s.counts().too_many_streams, 2u);
    EXPECT_EQ(got.records.size(), 3u);
    EXPECT_EQ(s.senders().size(), 1u);
}

// RTCP sender reports (RFC 3550 6.4.1): V=2, PT 200, length in 32-bit words minus one, sender
// SSRC, NTP (64 bits), RTP timestamp, packet and octet counts, then report blocks.
Bytes sender_report(uint32_t ssrc, uint64_t ntp, uint32_t rtp_ts, int blocks = 0) {
    Bytes b = {0x80, 200};
    be16(b, static_cast<uint32_t>(6 + 6 * blocks));
    be32(b, ssrc);
    be32(b, static_cast<uint32_t>(ntp >> 32));
    be32(b, static_cast<uint32_t>(ntp));
    be32(b, rtp_ts);
    be32(b, 10);
    be32(b, 1000);
    b.resize(b.size() + 24 * static_cast<size_t>(blocks), 0x11);
    return b;
}
Bytes rtcp_other(uint8_t pt, size_t words) {  // RR (201), SDES (202), ... with `words` after
    Bytes b = {0x81, pt};
    be16(b, static_cast<uint32_t>(words));
    b.resize(4 + 4 * words, 0x22);
    return b;
}

TEST(PcapSort, SenderReportsOfCompoundPackets) {
    const uint64_t ntp = 0xE8A1B2C3D4E5F607ull;
    struct Case {
        const char* name;
        Bytes rtcp;
        std::vector<uint32_t> ssrcs;  // of the reports found
    };
    Bytes cut = sender_report(7, ntp, 9);
    cut.pop_back();
    Bytes short_sr = {0x80, 200, 0, 5};  // 24 bytes: no room for the sender info
    short_sr.resize(24, 0);
    Bytes version1 = sender_report(7, ntp, 9);
    version1[0] = 0x40;
    const std::vector<Case> cases = {
        {"alone", sender_report(7, ntp, 9), {7}},
        {"with report blocks, then SDES",
         cat(sender_report(7, ntp, 9, 2), rtcp_other(202, 3)),
         {7}},
        {"after a receiver report", cat(rtcp_other(201, 1), sender_report(8, ntp, 9)), {8}},
        {"two", cat(sender_report(7, ntp, 9), sender_report(8, ntp, 9)), {7, 8}},
        {"cut by a byte", cut, {}},
        {"too short for sender info", short_sr, {}},
        {"version 1", version1, {}},
        {"a bad length ends the walk",
         cat(cat(sender_report(7, ntp, 9), Bytes{0x80, 201, 0x10, 0}), sender_report(8, ntp, 9)),
         {7}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<SenderReport> got;
        EXPECT_EQ(parse_sender_reports(c.rtcp.data(), c.rtcp.size(), 5, got), c.ssrcs.size());
        std::vector<uint32_t> ssrcs;
        for (const SenderReport& r : got) {
            ssrcs.push_back(r.ssrc);
            EXPECT_EQ(r.ntp, ntp);
            EXPECT_EQ(r.rtp, 9u);
            EXPECT_EQ(r.capture_us, 5u);
        }
        EXPECT_EQ(ssrcs, c.ssrcs);
    }

    // Multiplexed on the RTP port, and on a port of its own; before the stream's first packet;
    // an SSRC without packets is left out.
    Collect got;
    SortOptions o;
    o.users = {{0xB0, 9}};
    PacketSorter s(o, got.sink());
    feed(s, 1, sender_report(0xA0, 1, 2), 1);  // before SSRC 0xA0's first RTP packet
    stream(s, 0xA0, 48000, 3000000, 1, 10);
    const Bytes own_port = ipv4(udp(5002, 6001, sender_report(0xB0, 3, 4)), 17, 0, 2);
    s.frame(kLinkRaw, 20, own_port.data(), own_port.size(), own_port.size());
    stream(s, 0xB0, 90000, 3000000, 2, 30);
    feed(s, 40, sender_report(0xCC, 5, 6), 1);
    s.finish();
    const auto& lines = s.sender_reports();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].uid, 1u);
    EXPECT_EQ(lines[0].kind, kAudio);
    EXPECT_EQ(lines[0].report.capture_us, 1u);
    EXPECT_EQ(lines[1].uid, 9u);
    EXPECT_EQ(lines[1].kind, kVideo);
    EXPECT_EQ(lines[1].report.ntp, 3u);
    EXPECT_EQ(s.counts().sender_reports, 3u);
    EXPECT_EQ(s.counts().sender_reports_left_out, 1u);
}

// ---- Files -----------------------------------------------------------------------------------

// A new file of a kind once a packet is `split` seconds or more after the current file's first;
// times that go back stay in the current file.
TEST(PcapFiles, SplitEdges) {
    harness::TempDir dir;
    CaptureFiles files(dir.path(), 2);
    const RecordSink sink = files.sink();
    const Bytes p = rtp(96, 1, 0, 1);
    const uint64_t t0 = 1700000000123456;
    for (uint64_t t : {t0, t0 + 1999999, t0 - 5, t0 + 2000000, t0 + 4000001})
        sink.put(sink.ctx, kVideo, t, 3, p.data(), p.size());
    sink.put(sink.ctx, kAudio, t0 + 7, 3, p.data(), p.size());
    ASSERT_TRUE(files.close()) << files.error();
    EXPECT_EQ(harness::list_names(dir.path()),
              (std::vector<std::string>{"a_1700000000123.audio", "v_1700000000123.video",
                                        "v_1700000002123.video", "v_1700000004123.video"}));
    harness::CaptureStream audio;
    std::string error;
    ASSERT_TRUE(harness::read_capture_dir(dir.slash(), harness::Kind::audio, &audio, &error));
    ASSERT_EQ(audio.records.size(), 1u);
    EXPECT_EQ(audio.records[0].leading, t0 + 7);  // microseconds
    EXPECT_EQ(audio.records[0].uid, 3u);

    CaptureFiles again(dir.path(), 2);  // never overwrites
    again.sink().put(again.sink().ctx, kVideo, t0, 3, p.data(), p.size());
    EXPECT_FALSE(again.close());
    EXPECT_NE(again.error().find("v_1700000000123.video"), std::string::npos);
}

void write_bytes(const std::string& path, const Bytes& b) {
    std::string error;
    ASSERT_TRUE(harness::write_file(path, b, &error)) << error;
}

TEST(PcapInput, BadFilesSayWhy) {
    harness::TempDir dir;
    Collect got;
    std::string error;
    write_bytes(dir.file("text.pcap"), Bytes(100, 'x'));
    EXPECT_FALSE(open_pcap(dir.file("text.pcap"), error));
    EXPECT_NE(error.find("format"), std::string::npos) << error;
    EXPECT_FALSE(open_pcap(dir.file("missing.pcap"), error));

    pcap_t* dead = pcap_open_dead(DLT_IEEE802_11, 65535);
    pcap_dumper_t* d = pcap_dump_open(dead, dir.file("wifi.pcap").c_str());
    pcap_dump_close(d);
    pcap_close(dead);
    PcapHandle wifi = open_pcap(dir.file("wifi.pcap"), error);
    ASSERT_TRUE(wifi);
    PacketSorter s(SortOptions{}, got.sink());
    const ReadResult r = read_pcap(wifi.get(), s);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.message.find("IEEE802_11"), std::string::npos) << r.message;
}

// ---- Reading pcap and pcapng ----------------------------------------------------------------

void le16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void le32(Bytes& b, uint32_t v) {
    le16(b, v & 0xFFFF);
    le16(b, v >> 16);
}

Bytes pcap_header(uint32_t link) {
    Bytes b;
    le32(b, 0xA1B2C3D4);
    le16(b, 2);
    le16(b, 4);
    le32(b, 0);
    le32(b, 0);
    le32(b, 65535);
    le32(b, link);
    return b;
}
// caplen: what the header claims (the bytes that follow are always `data`).
Bytes pcap_record(uint64_t t_us, const Bytes& data, int64_t caplen = -1,
                  uint32_t frac = 0xFFFFFFFF) {
    Bytes b;
    le32(b, static_cast<uint32_t>(t_us / 1000000));
    le32(b, frac != 0xFFFFFFFF ? frac : static_cast<uint32_t>(t_us % 1000000));
    le32(b, caplen >= 0 ? static_cast<uint32_t>(caplen) : static_cast<uint32_t>(data.size()));
    le32(b, static_cast<uint32_t>(data.size()));
    return cat(b, data);
}

// A pcapng block; `len_delta` corrupts the length at its start, `tail_delta` the one at its end.
Bytes ng_block(uint32_t type, Bytes body, int64_t len_delta = 0, int64_t tail_delta = 0) {
    body.resize((body.size() + 3) & ~size_t{3}, 0);
    const uint32_t len = static_cast<uint32_t>(12 + body.size());
    Bytes b;
    le32(b, type);
    le32(b, static_cast<uint32_t>(len + len_delta));
    b = cat(b, body);
    le32(b, static_cast<uint32_t>(len + tail_delta));
    return b;
}
Bytes ng_section() {
    Bytes body;
    le32(body, 0x1A2B3C4D);
    le16(body, 1);
    le16(body, 0);
    le32(body, 0xFFFFFFFF);
    le32(body, 0xFFFFFFFF);
    return ng_block(0x0A0D0D0A, body);
}
// options: already encoded (code, length, value, padding), without the end marker.
Bytes ng_interface(uint32_t link, const Bytes& options = {}) {
    Bytes body;
    le16(body, link);
    le16(body, 0);
    le32(body, 65535);
    body = cat(body, options);
    if (!options.empty()) le32(body, 0);
    return ng_block(1, body);
}
Bytes ng_packet(uint32_t iface, uint64_t ts, const Bytes& data) {
    Bytes body;
    le32(body, iface);
    le32(body, static_cast<uint32_t>(ts >> 32));
    le32(body, static_cast<uint32_t>(ts));
    le32(body, static_cast<uint32_t>(data.size()));
    le32(body, static_cast<uint32_t>(data.size()));
    return ng_block(6, cat(body, data));
}

struct Read {
    ReadResult result;
    Collect got;
    std::vector<uint16_t> seqs;  // of the records, in order
};

// Reads `bytes` as a file; every RTP packet of SSRC 0xA0 (48 kHz) sorted and collected.
std::unique_ptr<Read> read_capture(const Bytes& bytes) {
    auto r = std::make_unique<Read>();
    FILE* f = fmemopen(const_cast<uint8_t*>(bytes.data()), bytes.size(), "rb");
    std::string error;
    PcapHandle h = open_pcap_stream(f, error);
    EXPECT_TRUE(h) << error;
    if (!h) return r;
    PacketSorter s(SortOptions{}, r->got.sink());
    r->result = read_pcap(h.get(), s);
    for (const Out& o : r->got.records)
        r->seqs.push_back(static_cast<uint16_t>(o.packet[2] << 8 | o.packet[3]));
    return r;
}

Bytes audio(int i) {
    return ipv4(
        udp(5001, 6000, rtp(111, static_cast<uint16_t>(i), static_cast<uint32_t>(i * 960), 0xA0)));
}
const uint64_t kT0 = 1700000000000000;
uint64_t at(int i) {
    return kT0 + static_cast<uint64_t>(i) * 20000;
}
std::vector<uint16_t> seq_range(int from, int to, std::vector<int> without = {}) {
    std::vector<uint16_t> v;
    for (int i = from; i < to; ++i)
        if (std::find(without.begin(), without.end(), i) == without.end())
            v.push_back(static_cast<uint16_t>(i));
    return v;
}

// Damage inside a file: read on past it where the format lets us find the next record, else stop
// and say where.
TEST(PcapInput, DamageIsSkippedOrNamed) {
    struct Case {
        const char* name;
        Bytes file;
        std::vector<uint16_t> seqs;
        uint64_t damaged_places;
        bool stopped;
        bool truncated;
    };
    auto pcap = [](int n, std::function<Bytes(int)> rec) {
        Bytes b = pcap_header(kLinkRaw);
        for (int i = 0; i < n; ++i) b = cat(b, rec(i));
        return b;
    };
    auto good = [](int i) { return pcap_record(at(i), audio(i)); };
    auto ng = [](int n, std::function<Bytes(int)> blk) {
        Bytes b = cat(ng_section(), ng_interface(kLinkRaw));
        for (int i = 0; i < n; ++i) b = cat(b, blk(i));
        return b;
    };
    auto good_ng = [](int i) { return ng_packet(0, at(i), audio(i)); };
    Bytes cut_ng = ng(30, good_ng);
    cut_ng.resize(cut_ng.size() - 6);
    const std::vector<Case> cases = {
        {"pcap caplen 300000",
         pcap(150,
              [&](int i) { return i == 100 ? pcap_record(at(i), audio(i), 300000) : good(i); }),
         seq_range(0, 150, {100}), 1, false, false},
        {"pcap caplen one past the bound",
         pcap(50, [&](int i) { return i == 10 ? pcap_record(at(i), audio(i), 262145) : good(i); }),
         seq_range(0, 50, {10}), 1, false, false},
        {"pcap fraction of a second too large",
         pcap(50,
              [&](int i) { return i == 10 ? pcap_record(at(i), audio(i), -1, 1000000) : good(i); }),
         seq_range(0, 50, {10}), 1, false, false},
        {"pcap garbage between records",
         pcap(50, [&](int i) { return i == 20 ? cat(Bytes(37, 0xEE), good(i)) : good(i); }),
         seq_range(0, 50), 1, false, false},
        {"pcap damage with nothing good after",
         cat(pcap(20, good), pcap_record(at(20), Bytes(30, 0xEE), 300000)), seq_range(0, 20), 0,
         true, false},
        {"pcap cut in the last record",
         [&] {
             Bytes b = pcap(20, good);
             b.resize(b.size() - 3);
             return b;
         }(),
         seq_range(0, 19), 0, false, true},
        {"pcapng block length 2^31",
         ng(150,
            [&](int i) {
                return i == 100 ? ng_block(6, Bytes(40, 0), 0x80000000LL - 52) : good_ng(i);
            }),
         seq_range(0, 150, {100}), 1, false, false},
        {"pcapng length at the end differs",
         ng(50,
            [&](int i) {
                return i == 10 ? ng_block(6, cat(Bytes(20, 0), audio(i)), 0, 4) : good_ng(i);
            }),
         seq_range(0, 50, {10}), 1, false, false},
        {"pcapng length not a multiple of 4",
         ng(50,
            [&](int i) {
                return i == 10 ? ng_block(6, cat(Bytes(20, 0), audio(i)), 2) : good_ng(i);
            }),
         seq_range(0, 50, {10}), 1, false, false},
        {"pcapng cut in the last block", cut_ng, seq_range(0, 29), 0, false, true},
        // A link type the frame reader knows is one the file reader takes.
        {"pcap of LINUX_SLL2 read whole",
         [&] {
             Bytes b = pcap_header(kLinkLinuxSll2);
             for (int i = 0; i < 20; ++i) b = cat(b, pcap_record(at(i), sll2(audio(i), 0x0800)));
             return b;
         }(),
         seq_range(0, 20), 0, false, false},
        {"pcapng damage with nothing good after",
         cat(ng(20, good_ng), Bytes{6, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3, 4}),
         seq_range(0, 20), 0, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = read_capture(c.file);
        EXPECT_TRUE(r->result.ok) << r->result.message;
        EXPECT_EQ(r->seqs, c.seqs);
        EXPECT_EQ(r->result.damaged_places, c.damaged_places);
        EXPECT_EQ(r->result.stopped, c.stopped) << r->result.message;
        EXPECT_EQ(r->result.truncated, c.truncated) << r->result.message;
        EXPECT_EQ(r->result.damage.size(), c.damaged_places);
        for (const auto& d : r->result.damage) EXPECT_GT(d.skipped, 0u);
    }
}

// Interfaces of different link types in one pcapng, one of them not read; a second section that
// numbers its interfaces afresh; timestamp resolutions and offsets.
TEST(PcapInput, PcapngInterfacesAndSections) {
    Bytes tsresol_ns = {9, 0, 1, 0, 9, 0, 0, 0};         // 10^-9 s
    Bytes tsresol_2 = {9, 0, 1, 0, 0x80 | 20, 0, 0, 0};  // 2^-20 s
    Bytes tsoffset = {14, 0, 8, 0};
    le32(tsoffset, 100);
    le32(tsoffset, 0);
    Bytes file = cat(ng_section(), ng_interface(kLinkEthernet));
    file = cat(file, ng_interface(kLinkRaw, tsresol_ns));
    file = cat(file, ng_interface(147));
    file = cat(file, ng_interface(kLinkLinuxSll, tsoffset));
    for (int i = 0; i < 40; ++i) {
        file = cat(file, ng_packet(0, at(i), ethernet(audio(i), 0x0800)));
        file = cat(file, ng_packet(2, at(i), Bytes(30, 1)));  // type 147: left out, counted
    }
    for (int i = 40; i < 80; ++i) file = cat(file, ng_packet(1, at(i) * 1000, audio(i)));
    for (int i = 80; i < 120; ++i)
        file = cat(file, ng_packet(3, at(i) - 100000000, sll(audio(i), 0x0800)));
    // Section 2: interface 0 is now raw IP with 2^-20 s units.
    file = cat(file, cat(ng_section(), ng_interface(kLinkRaw, tsresol_2)));
    for (int i = 120; i < 160; ++i) {
        const uint64_t us = at(i);
        file = cat(file,
                   ng_packet(0, (us / 1000000 << 20) + ((us % 1000000) << 20) / 1000000, audio(i)));
    }
    auto r = read_capture(file);
    EXPECT_TRUE(r->result.ok) << r->result.message;
    EXPECT_FALSE(r->result.damaged());
    EXPECT_EQ(r->seqs, seq_range(0, 160));
    ASSERT_EQ(r->result.skipped_interfaces.size(), 1u);
    EXPECT_EQ(r->result.skipped_interfaces[0].link_type, 147);
    EXPECT_EQ(r->result.skipped_interfaces[0].interface, 2u);
    EXPECT_EQ(r->result.skipped_interfaces[0].frames, 40u);
    EXPECT_EQ(r->result.sections, 2u);
    for (size_t i = 0; i < r->got.records.size(); ++i) {
        const int64_t want = static_cast<int64_t>(at(static_cast<int>(i)));
        EXPECT_NEAR(static_cast<double>(r->got.records[i].time_us), static_cast<double>(want), 1)
            << i;
    }

    // Only interfaces of types not read: refused as a pcap of that type is.
    auto none =
        read_capture(cat(cat(ng_section(), ng_interface(147)), ng_packet(0, 0, Bytes(30, 1))));
    EXPECT_FALSE(none->result.ok);
    EXPECT_NE(none->result.message.find("147"), std::string::npos) << none->result.message;
}

// ---- The command line -------------------------------------------------------------------------

Bytes audio_pcap(int n, uint32_t ssrc, uint8_t host = 1, int damaged_at = -1,
                 uint64_t shift_us = 0) {
    Bytes b = pcap_header(kLinkRaw);
    for (int i = 0; i < n; ++i) {
        const Bytes f =
            ipv4(udp(static_cast<uint16_t>(5000 + host), 6000,
                     rtp(111, static_cast<uint16_t>(i), static_cast<uint32_t>(i * 960), ssrc)),
                 17, 0, host);
        b = cat(b, pcap_record(at(i) + shift_us, f, i == damaged_at ? 300000 : -1));
    }
    return b;
}

std::vector<uint32_t> uids_in(const std::string& dir) {
    harness::CaptureStream audio;
    std::string error;
    EXPECT_TRUE(harness::read_capture_dir(dir + "/", harness::Kind::audio, &audio, &error))
        << error;
    std::vector<uint32_t> uids;
    for (const auto& r : audio.records)
        if (uids.empty() || uids.back() != r.uid) uids.push_back(r.uid);
    return uids;
}

// Exit statuses: 0 done, 2 refused before reading, 3 damage inside the capture, 4 one --user id
// on two senders.
TEST(PcapCli, RefusalsAndStatuses) {
    harness::TempDir dir;
    write_bytes(dir.file("a.pcap"), audio_pcap(150, 10, 1));
    write_bytes(dir.file("b.pcap"), audio_pcap(150, 20, 2));
    write_bytes(dir.file("damaged.pcap"), audio_pcap(150, 10, 1, 100));
    Bytes ab = audio_pcap(150, 10, 1), ac = ab;
    const Bytes b_only = audio_pcap(150, 20, 2), c_only = audio_pcap(150, 30, 1);
    ab.insert(ab.end(), b_only.begin() + 24, b_only.end());
    ac.insert(ac.end(), c_only.begin() + 24, c_only.end());
    write_bytes(dir.file("ab.pcap"), ab);
    write_bytes(dir.file("ac.pcap"), ac);
    write_bytes(dir.file("empty.pcap"), pcap_header(kLinkRaw));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    struct Case {
        const char* name;
        std::vector<std::string> args;  // "OUT" is the case's own output folder
        int status;
        std::vector<const char*> err;  // each in standard error
        std::vector<uint32_t> uids;    // the users of the audio records written
    };
    const std::vector<Case> cases = {
        {"plain", {"a.pcap", "OUT"}, 0, {}, {1}},
        {"two senders on one id",
         {"-u", "10=5", "--user", "20=5", "ab.pcap", "OUT"},
         4,
         {"-u 10=5 and --user 20=5 give one user id to two senders that share no transport"},
         {5}},
        {"two SSRCs of one sender on one id",
         {"-u", "10=5", "--user", "30=5", "ac.pcap", "OUT"},
         0,
         {},
         {5}},
        {"one SSRC on two ids",
         {"-u", "10=5", "-u", "0xa=6", "a.pcap", "OUT"},
         2,
         {"-u 10=5 and -u 0xa=6 give one SSRC two user ids"},
         {}},
        {"the same option twice", {"-u", "10=5", "-u", "10=5", "a.pcap", "OUT"}, 0, {}, {5}},
        {"a leading 0 is decimal", {"-u", "010=07", "a.pcap", "OUT"}, 0, {}, {7}},
        {"hexadecimal", {"-u", "0xA=0x10", "a.pcap", "OUT"}, 0, {}, {16}},
        {"no octal digits", {"-u", "10=0x", "a.pcap", "OUT"}, 2, {"--user takes"}, {}},
        {"damage inside", {"damaged.pcap", "OUT"}, 3, {"damaged at byte", "bytes skipped"}, {1}},
        {"no RTP", {"empty.pcap", "OUT"}, 0, {"holds no RTP packets"}, {}},
        {"--sdp of a device",
         {"--sdp", "/dev/zero", "a.pcap", "OUT"},
         1,
         {"/dev/zero: larger than 1 MiB: not an SDP"},
         {}},
        {"--sdp of a directory", {"--sdp", "DIR", "a.pcap", "OUT"}, 1, {"cannot read it"}, {}},
        {"--sdp of a FIFO without a writer",
         {"--sdp", "FIFO", "a.pcap", "OUT"},
         1,
         {"no m=video or m=audio section"},
         {}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = dir.file("out" + std::to_string(n++));
        std::vector<std::string> argv = {TRANSCODE_PCAP_BIN};
        for (const std::string& a : c.args)
            argv.push_back(a == "OUT"                             ? out
                           : a == "DIR"                           ? dir.path()
                           : a == "FIFO"                          ? dir.file("fifo")
                           : a.find(".pcap") != std::string::npos ? dir.file(a)
                                                                  : a);
        const auto run = harness::run_process(argv);
        EXPECT_EQ(run.status, c.status) << run.err;
        for (const char* e : c.err) EXPECT_NE(run.err.find(e), std::string::npos) << run.err;
        if (!c.uids.empty()) {
            EXPECT_EQ(uids_in(out), c.uids);
        }
    }

    // The sender-report file: its exact text, appended to with --append.
    {
        Bytes b = audio_pcap(150, 10, 1);
        const Bytes sr = ipv4(udp(5001, 6000, sender_report(10, 0xE8A1B2C300000001ull, 4800)));
        const Bytes other = ipv4(udp(5001, 6000, sender_report(99, 1, 2)));
        b = cat(b, pcap_record(at(150), sr));
        b = cat(b, pcap_record(at(151), other));
        write_bytes(dir.file("sr.pcap"), b);
        write_bytes(dir.file("sr2.pcap"), [&] {
            Bytes c = audio_pcap(150, 10, 3, -1, 60000000);
            return cat(c, pcap_record(at(150) + 60000000, sr));
        }());
        const std::string srout = dir.file("sr");
        const auto run = harness::run_process({TRANSCODE_PCAP_BIN, dir.file("sr.pcap"), srout});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(
            run.err.find("2 RTCP sender reports: 1 written to sender_reports.txt, 1 left out"),
            std::string::npos)
            << run.err;
        const auto added =
            harness::run_process({TRANSCODE_PCAP_BIN, "--append", dir.file("sr2.pcap"), srout});
        EXPECT_EQ(added.status, 0) << added.err;
        Bytes text;
        std::string error;
        ASSERT_TRUE(harness::read_file(srout + "/sender_reports.txt", &text, &error)) << error;
        EXPECT_EQ(std::string(text.begin(), text.end()),
                  "# transcode sender reports 1\n"
                  "1 audio 10 16762875838638063617 4800 1700000003000000\n"
                  "2 audio 10 16762875838638063617 4800 1700000063000000\n");
        const std::string none = dir.file("nosr");
        EXPECT_EQ(harness::run_process({TRANSCODE_PCAP_BIN, dir.file("a.pcap"), none}).status, 0);
        EXPECT_FALSE(harness::read_file(none + "/sender_reports.txt", &text, &error));
    }

    // A second capture into the same folder: refused, then added with its users numbered past.
    const std::string out = dir.file("both");
    EXPECT_EQ(harness::run_process({TRANSCODE_PCAP_BIN, dir.file("a.pcap"), out}).status, 0);
    const auto again = harness::run_process({TRANSCODE_PCAP_BIN, dir.file("b.pcap"), out});
    EXPECT_EQ(again.status, 2);
    EXPECT_NE(again.err.find("already holds 1 capture files; give --append"), std::string::npos)
        << again.err;
    write_bytes(dir.file("b.pcap"), audio_pcap(150, 20, 2, -1, 60000000));  // files of its own
    const auto added =
        harness::run_process({TRANSCODE_PCAP_BIN, "--append", dir.file("b.pcap"), out});
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(uids_in(out), (std::vector<uint32_t>{1, 2}));
}

// Synthesized captures written as a pcap (by tools/capture_pcap, with libpcap's dump functions)
// and read back give the same records; through the file writer too, split every second.
TEST(PcapRoundTrip, SynthesizedCapturesComeBackAsTheyWere) {
    harness::TempDir dir;
    const auto synth = harness::run_capture_synth(
        {"--out", dir.file("syn"), "--quiet", "--users", "3", "--uids", "5,900,77", "--duration",
         "4", "--video-users", "2", "--ext", "2", "--padding", "0,3,0"});
    ASSERT_EQ(synth.status, 0) << synth.err;
    const auto pcap =
        harness::run_process({CAPTURE_PCAP_BIN, dir.file("syn") + "/", dir.file("c.pcap")});
    ASSERT_EQ(pcap.status, 0) << pcap.err;

    harness::CaptureStream want[2];
    std::string error;
    ASSERT_TRUE(
        harness::read_capture_dir(dir.file("syn") + "/", harness::Kind::video, &want[0], &error));
    ASSERT_TRUE(
        harness::read_capture_dir(dir.file("syn") + "/", harness::Kind::audio, &want[1], &error));
    SortOptions o;
    o.split_seconds = 1;
    for (const auto& kind : want)
        for (const auto& r : kind.records)
            o.users[static_cast<uint32_t>(r.packet[8]) << 24 | r.packet[9] << 16 |
                    r.packet[10] << 8 | r.packet[11]] = r.uid;

    PcapHandle h = open_pcap(dir.file("c.pcap"), error);
    ASSERT_TRUE(h) << error;
    const std::string out = dir.subdir("out");
    CaptureFiles files(out, o.split_seconds);
    PacketSorter s(o, files.sink());
    const ReadResult r = read_pcap(h.get(), s);
    ASSERT_TRUE(r.ok && !r.truncated) << r.message;
    ASSERT_TRUE(files.close()) << files.error();
    EXPECT_GE(files.files().size(), 8u);  // 4 s, a file a second, two kinds

    for (int k = 0; k < 2; ++k) {
        SCOPED_TRACE(k);
        harness::CaptureStream got;
        ASSERT_TRUE(harness::read_capture_dir(
            out + "/", k ? harness::Kind::audio : harness::Kind::video, &got, &error));
        ASSERT_EQ(got.records.size(), want[k].records.size());
        for (size_t i = 0; i < got.records.size(); ++i) {
            ASSERT_EQ(got.records[i].uid, want[k].records[i].uid) << i;
            ASSERT_EQ(got.records[i].packet, want[k].records[i].packet) << i;
            if (k) {
                ASSERT_EQ(got.records[i].leading, want[k].records[i].leading * 1000) << i;
            }
        }
    }

    // Cut inside the last frame: what came before is kept, and the cut is said.
    Bytes bytes;
    ASSERT_TRUE(harness::read_file(dir.file("c.pcap"), &bytes, &error));
    bytes.resize(bytes.size() - 5);
    write_bytes(dir.file("cut.pcap"), bytes);
    PcapHandle cut = open_pcap(dir.file("cut.pcap"), error);
    Collect got;
    PacketSorter s2(SortOptions{}, got.sink());
    const ReadResult r2 = read_pcap(cut.get(), s2);
    EXPECT_TRUE(r2.ok && r2.truncated);
    EXPECT_NE(r2.message.find("truncated"), std::string::npos) << r2.message;
    EXPECT_EQ(got.records.size(), want[0].records.size() + want[1].records.size() - 1);
}

}  // namespace
