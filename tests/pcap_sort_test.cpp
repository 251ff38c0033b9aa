// transcode-pcap's units: frames of every link type taken apart, packets sorted into kinds and
// users, RFC 4571 over TCP, bad files, and a round trip of synthesized captures through a pcap.

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstring>
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
    const std::vector<FrameCase> cases = {
        {"ethernet v4", kLinkEthernet, ethernet(kUdp4, 0x0800), 0, FrameStatus::ok, false},
        {"ethernet v6", kLinkEthernet, ethernet(kUdp6, 0x86DD), 0, FrameStatus::ok, true},
        {"802.1Q", kLinkEthernet, ethernet(kUdp4, 0x0800, {0x8100}), 0, FrameStatus::ok, false},
        {"QinQ", kLinkEthernet, ethernet(kUdp6, 0x86DD, {0x88A8, 0x8100}), 0, FrameStatus::ok,
         true},
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
    };
    const std::vector<Case> cases = {
        {90000, 2000000, kVideo, true},  {48000, 2000000, kAudio, true},
        {65000, 2000000, kVideo, true},  {64999, 2000000, kAudio, true},
        {90000, 1999999, kVideo, false}, {48000, 300000, kAudio, false},
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
        EXPECT_EQ(s.streams().front()->kind_from, KindFrom::clock);
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
    Bytes rest(stream.begin() + static_cast<long>(a.size()) + 2, stream.end());
    const Bytes after_gap = segment(100 + static_cast<uint32_t>(a.size()) + 2, 0x18, rest);
    s.frame(kLinkRaw, 0, first.data(), first.size(), first.size());
    s.frame(kLinkRaw, 0, after_gap.data(), after_gap.size(), after_gap.size());
    s.finish();
    EXPECT_EQ(s.counts().tcp_gaps, 1u);
    ASSERT_EQ(got.records.size(), 2u);
    EXPECT_EQ(got.records[0].packet, b);
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
