// The stream classifier's rules, one table each, and the unwrap stage's packets byte for byte.
#include "stream_classifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "rtp_support.h"
#include "sdp_map.h"
#include "stream_unwrap.h"

namespace {

using Bytes = std::vector<uint8_t>;
using streams::Role;

constexpr uint32_t kMedia = 0x11111111;
constexpr uint32_t kOther = 0x22222222;

// With `padding` > 0: the P bit set and that many bytes of padding, the last one their count.
Bytes rtp(uint8_t pt, uint16_t seq, uint32_t ts, uint32_t ssrc, const Bytes& payload,
          bool marker = false, uint8_t padding = 0) {
    Bytes b = rtptest::rtp_bytes(seq, ts, marker, payload, pt, ssrc);
    if (padding) {
        b[0] |= 0x20;
        b.insert(b.end(), padding - 1, 0);
        b.push_back(padding);
    }
    return b;
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ---- RED block headers ------------------------------------------------------------------------

struct RedCase {
    const char* name;
    Bytes payload;
    bool ok;
    int count;
    size_t primary_offset, primary_length;
};

TEST(ReadRed, BlockHeadersMustAddUp) {
    // F=1, PT 111, offset 960, length 2; then the primary header (PT 111).
    const Bytes one = {0xEF, 0x0F, 0x00, 0x02, 0x6F};
    Bytes seven, eight;
    for (int i = 0; i < 7; ++i) seven.insert(seven.end(), {0xEF, 0x0F, 0x00, 0x00});
    eight = cat(seven, {0xEF, 0x0F, 0x00, 0x00});
    const RedCase cases[] = {
        {"primary_only", {0x60, 1, 2, 3}, true, 1, 1, 3},
        {"primary_empty", {0x60}, true, 1, 1, 0},
        {"one_redundant", cat(one, {0xA, 0xB, 0xC}), true, 2, 7, 1},
        {"redundant_to_the_end", cat(one, {0xA, 0xB}), true, 2, 7, 0},
        {"redundant_past_the_end", cat(one, {0xA}), false, 0, 0, 0},
        {"redundant_of_another_type", {0xEE, 0x0F, 0x00, 0x01, 0x6F, 1, 2}, false, 0, 0, 0},
        {"offset_zero", {0xEF, 0x00, 0x00, 0x01, 0x6F, 1, 2}, false, 0, 0, 0},
        {"header_cut_short", {0xEF, 0x0F, 0x00}, false, 0, 0, 0},
        {"empty", {}, false, 0, 0, 0},
        {"seven_redundant", cat(seven, {0x6F, 9}), true, 8, 29, 1},
        {"eight_redundant", cat(eight, {0x6F, 9}), false, 0, 0, 0},
    };
    for (const RedCase& c : cases) {
        SCOPED_TRACE(c.name);
        streams::RedPayload red;
        EXPECT_EQ(streams::read_red(c.payload.data(), c.payload.size(), &red), c.ok);
        EXPECT_EQ(red.count, c.count);
        if (!c.ok) continue;
        EXPECT_EQ(red.blocks[c.count - 1].offset, c.primary_offset);
        EXPECT_EQ(red.blocks[c.count - 1].length, c.primary_length);
    }
}

// ---- FEC headers ------------------------------------------------------------------------------

Bytes ulpfec(uint8_t first, uint16_t base, size_t mask_bytes, uint8_t mask) {
    Bytes f = {
        first, 0x60, static_cast<uint8_t>(base >> 8), static_cast<uint8_t>(base), 0, 0, 0, 0, 0, 0,
        0,     8};
    for (size_t i = 0; i < mask_bytes; ++i) f.push_back(i == 0 ? mask : 0);
    return f;
}

TEST(UlpfecHeader, BaseMustLieJustBehind) {
    struct Case {
        const char* name;
        Bytes fec;
        bool ok;
    } const cases[] = {
        {"one_behind", ulpfec(0x00, 999, 2, 0x80), true},
        {"sixty_four_behind", ulpfec(0x00, 936, 2, 0x80), true},
        {"sixty_five_behind", ulpfec(0x00, 935, 2, 0x80), false},
        {"not_behind", ulpfec(0x00, 1000, 2, 0x80), false},
        {"ahead", ulpfec(0x00, 1001, 2, 0x80), false},
        {"e_bit", ulpfec(0x80, 999, 2, 0x80), false},
        {"empty_mask", ulpfec(0x00, 999, 2, 0x00), false},
        {"long_mask", ulpfec(0x40, 999, 6, 0x80), true},
        {"long_mask_cut_short", ulpfec(0x40, 999, 5, 0x80), false},
        {"short_mask_cut_short", ulpfec(0x00, 999, 1, 0x80), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(streams::ulpfec_points_into(c.fec.data(), c.fec.size(), 1000), c.ok);
    }
}

Bytes flexfec(uint8_t first, uint8_t count, uint32_t ssrc, const Bytes& mask) {
    Bytes f = {first,
               0x60,
               0,
               0,
               0,
               0,
               0,
               0,
               count,
               0,
               0,
               0,
               static_cast<uint8_t>(ssrc >> 24),
               static_cast<uint8_t>(ssrc >> 16),
               static_cast<uint8_t>(ssrc >> 8),
               static_cast<uint8_t>(ssrc),
               0x12,
               0x34};
    return cat(f, mask);
}

TEST(FlexfecHeader, MustNameTheMediaSsrc) {
    const Bytes k1 = {0x80, 0x01};
    const Bytes k0k1 = {0x00, 0x01, 0x80, 0, 0, 0};
    const Bytes k0k0 = {0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    struct Case {
        const char* name;
        Bytes fec;
        bool ok;
    } const cases[] = {
        {"short_mask", flexfec(0x00, 1, kMedia, k1), true},
        {"other_ssrc", flexfec(0x00, 1, kOther, k1), false},
        {"r_bit", flexfec(0x80, 1, kMedia, k1), false},
        {"f_bit", flexfec(0x40, 1, kMedia, k1), false},
        {"no_ssrc", flexfec(0x00, 0, kMedia, k1), false},
        {"cut_before_mask", flexfec(0x00, 1, kMedia, {0x80}), false},
        {"middle_mask", flexfec(0x00, 1, kMedia, k0k1), true},
        {"middle_mask_cut_short", flexfec(0x00, 1, kMedia, Bytes(k0k1.begin(), k0k1.end() - 1)),
         false},
        {"long_mask", flexfec(0x00, 1, kMedia, k0k0), true},
        {"long_mask_cut_short", flexfec(0x00, 1, kMedia, Bytes(k0k0.begin(), k0k0.end() - 1)),
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint16_t base = 0;
        EXPECT_EQ(streams::flexfec_protects(c.fec.data(), c.fec.size(), kMedia, &base), c.ok);
        if (c.ok) {
            EXPECT_EQ(base, 0x1234);
        }
    }
}

// ---- The classifier over packet sequences ----------------------------------------------------

struct Step {
    Bytes packet;
    Role want;  // role_of() right after learn()
};
struct Scenario {
    const char* name;
    bool video;
    std::vector<Step> steps;
    Role first_again;       // role_of() of the first packet after all steps
    uint32_t media_at_end;  // the media SSRC after all steps
    const char* sdp = nullptr;
};

constexpr const char* kSdpRedRtx =
    "m=video 9 RTP/AVPF 96 97 100\na=rtpmap:96 VP8/90000\na=rtpmap:97 rtx/90000\n"
    "a=fmtp:97 apt=96\na=rtpmap:100 red/90000\n";

const Bytes kVp8 = {0x90, 0x80, 0x12, 0x34, 0x9d, 0x01, 0x2a};  // X=1 S=1, I, picture id
const Bytes kOpus = {0x78, 0x01, 0x02, 0x03};                   // TOC config 15, code 0

Bytes red1(uint8_t pt, const Bytes& block) {
    return cat({pt}, block);
}
Bytes red_audio(const Bytes& previous, const Bytes& current) {
    Bytes r = {0xEF, 0x0F, 0x00, static_cast<uint8_t>(previous.size()), 0x6F};
    return cat(cat(r, previous), current);
}

TEST(StreamClassifier, RulesOverPacketSequences) {
    const Bytes fec_block = cat({120}, ulpfec(0x00, 12, 2, 0xC0));
    const Scenario scenarios[] = {
        {"plain_vp8_at_once",
         true,
         {{rtp(96, 10, 900, kMedia, kVp8), Role::media}},
         Role::media,
         kMedia},
        {"video_red_after_three_agree",
         true,
         {{rtp(118, 10, 900, kMedia, red1(96, kVp8)), Role::undecided},
          {rtp(118, 11, 900, kMedia, red1(96, kVp8)), Role::undecided},
          {rtp(118, 12, 900, kMedia, red1(96, kVp8)), Role::red}},
         Role::red,
         kMedia},
        {"video_red_block_type_changes",
         true,
         {{rtp(118, 10, 900, kMedia, red1(96, kVp8)), Role::undecided},
          {rtp(118, 11, 900, kMedia, red1(98, kVp8)), Role::media}},
         Role::media,
         kMedia},
        {"random_payload_with_reserved_bit",
         true,
         {{rtp(121, 10, 900, kMedia, {0x55, 0xFF, 0xFF}), Role::media}},
         Role::media,
         kMedia},
        {"ulpfec_inside_red",
         true,
         {{rtp(118, 10, 900, kMedia, red1(96, kVp8)), Role::undecided},
          {rtp(118, 11, 900, kMedia, red1(96, kVp8)), Role::undecided},
          {rtp(118, 12, 900, kMedia, red1(96, kVp8)), Role::red},
          {rtp(118, 13, 900, kMedia, fec_block), Role::fec}},
         Role::red,
         kMedia},
        {"audio_red_decided_by_redundancy",
         false,
         {{rtp(63, 10, 960, kMedia, red1(111, kOpus)), Role::undecided},
          {rtp(63, 11, 1920, kMedia, red_audio(kOpus, kOpus)), Role::red}},
         Role::red,
         kMedia},
        {"audio_plain_after_the_wait",
         false,
         {{rtp(111, 10, 960, kMedia, kOpus), Role::undecided},
          {rtp(111, 11, 1920, kMedia, kOpus), Role::undecided},
          {rtp(111, 12, 2880, kMedia, kOpus), Role::undecided},
          {rtp(111, 13, 3840, kMedia, kOpus), Role::media}},
         Role::media,
         kMedia},
        {"audio_block_of_the_outer_type",
         false,
         {{rtp(111, 10, 960, kMedia, {0xEF, 0x0F, 0x00, 0x01, 0x6F, 1, 2}), Role::media}},
         Role::media,
         kMedia},
        {"probe_on_media",
         true,
         {{rtp(96, 10, 900, kMedia, kVp8), Role::media},
          {rtp(96, 11, 900, kMedia, {}, false, 255), Role::probe}},
         Role::media,
         kMedia},
        {"rtx_with_the_remembered_timestamp",
         true,
         {{rtp(96, 10, 900, kMedia, kVp8), Role::media},
          {rtp(96, 11, 1800, kMedia, kVp8), Role::media},
          {rtp(97, 500, 900, kOther, cat({0, 10}, kVp8)), Role::rtx},
          {rtp(97, 501, 5, kOther, cat({0, 11}, kVp8)), Role::rtx}},
         Role::media,
         kMedia},
        {"rtx_timestamp_differs_a_new_sender",
         true,
         {{rtp(96, 10, 900, kMedia, kVp8), Role::media},
          {rtp(96, 11, 1800, kMedia, kVp8), Role::media},
          {rtp(97, 500, 901, kOther, cat({0, 10}, kVp8)), Role::media}},
         Role::other,
         kOther},
        {"rtx_of_a_lost_packet_between_neighbours",
         true,
         {{rtp(96, 10, 900, kMedia, kVp8), Role::media},
          {rtp(96, 12, 2700, kMedia, kVp8), Role::media},
          {rtp(97, 500, 1800, kOther, cat({0, 11}, kVp8)), Role::rtx}},
         Role::media,
         kMedia},
        {"rtx_of_a_lost_packet_outside_its_neighbours",
         true,
         {{rtp(96, 10, 900, kMedia, kVp8), Role::media},
          {rtp(96, 12, 2700, kMedia, kVp8), Role::media},
          {rtp(97, 500, 2701, kOther, cat({0, 11}, kVp8)), Role::media}},
         Role::other,
         kOther},
        // A retransmission that overtakes the media after the packet it repeats (seen in a real
        // call: the lost marker packet of a key frame resent before the next frame).
        {"rtx_osn_one_ahead_of_the_media",
         true,
         {{rtp(96, 10, 900, kMedia, kVp8), Role::media},
          {rtp(97, 500, 900, kOther, cat({0, 11}, kVp8)), Role::rtx}},
         Role::media,
         kMedia},
        {"rtx_osn_16_ahead_a_second_on",
         true,
         {{rtp(96, 10, 900, kMedia, kVp8), Role::media},
          {rtp(97, 500, 90900, kOther, cat({0, 26}, kVp8)), Role::rtx}},
         Role::media,
         kMedia},
        {"osn_17_ahead_a_new_sender",
         true,
         {{rtp(96, 10, 900, kMedia, kVp8), Role::media},
          {rtp(97, 500, 900, kOther, cat({0, 27}, kVp8)), Role::media}},
         Role::other,
         kOther},
        {"osn_ahead_timestamp_before_the_media_a_new_sender",
         true,
         {{rtp(96, 10, 900, kMedia, kVp8), Role::media},
          {rtp(97, 500, 899, kOther, cat({0, 11}, kVp8)), Role::media}},
         Role::other,
         kOther},
        {"osn_ahead_more_than_a_second_on_a_new_sender",
         true,
         {{rtp(96, 10, 900, kMedia, kVp8), Role::media},
          {rtp(97, 500, 90901, kOther, cat({0, 11}, kVp8)), Role::media}},
         Role::other,
         kOther},
        {"probe_then_copy_on_the_rtx_ssrc",
         true,
         {{rtp(97, 499, 0, kOther, {}, false, 255), Role::probe},
          {rtp(96, 10, 900, kMedia, kVp8), Role::media},
          {rtp(97, 500, 900, kOther, cat({0, 10}, kVp8)), Role::rtx},
          {rtp(97, 501, 900, kOther, {0, 10}), Role::probe}},
         Role::probe,
         kMedia},
        {"rtx_of_a_sender_that_restarted",
         true,
         {{rtp(96, 10, 900, kMedia, kVp8), Role::media},
          {rtp(97, 500, 900, kOther, cat({0, 10}, kVp8)), Role::rtx},
          {rtp(96, 7000, 5, 0x33, kVp8), Role::media},
          {rtp(97, 501, 900, kOther, cat({0, 10}, kVp8)), Role::stale}},
         Role::other,
         0x33},
        {"flexfec_naming_the_media",
         true,
         {{rtp(96, 10, 900, kMedia, kVp8), Role::media},
          {rtp(115, 7, 900, kOther, flexfec(0x00, 1, kMedia, {0x80, 0x01, 1, 2})), Role::fec}},
         Role::media,
         kMedia},
        {"flexfec_naming_another_ssrc",
         true,
         {{rtp(96, 10, 900, kMedia, kVp8), Role::media},
          {rtp(115, 7, 900, kOther, flexfec(0x00, 1, 0x33, {0x80, 0x01, 1, 2})), Role::media}},
         Role::other,
         kOther},
        // With an SDP its names decide: plain media, RED, a retransmission of either, and on the
        // media SSRC a payload type it does not name.
        {"sdp_names_media_red_and_rtx",
         true,
         {{rtp(96, 10, 900, kMedia, kVp8), Role::media},
          {rtp(96, 11, 900, kMedia, kVp8), Role::media},
          {rtp(100, 12, 903, kMedia, red1(96, kVp8)), Role::red},
          {rtp(97, 1, 900, kOther, cat({0, 11}, kVp8)), Role::rtx},
          {rtp(96, 13, 906, kMedia, kVp8), Role::media},
          {rtp(98, 14, 906, kMedia, kVp8), Role::unnamed},
          {rtp(96, 15, 909, kMedia, kVp8), Role::media}},
         Role::media,
         kMedia,
         kSdpRedRtx},
    };
    // learn() then role_of() is the reference; learn_role() and the settled stream's
    // learn_plain() must tell the same roles and leave the same state.
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        streams::SdpMap sdp;
        std::string err;
        if (s.sdp) {
            ASSERT_TRUE(streams::parse_sdp(s.sdp, &sdp, &err)) << err;
        }
        const streams::SdpKind* kind = s.sdp ? &sdp.video : nullptr;
        streams::StreamClassifier c(s.video, nullptr, kind), one(s.video, nullptr, kind),
            plain(s.video, nullptr, kind);
        for (size_t i = 0; i < s.steps.size(); ++i) {
            const Bytes& p = s.steps[i].packet;
            c.learn(p.data(), p.size());
            const int want = static_cast<int>(s.steps[i].want);
            EXPECT_EQ(static_cast<int>(c.role_of(p.data(), p.size())), want) << "step " << i;
            streams::RtpSpan span;
            EXPECT_EQ(static_cast<int>(one.learn_role(p.data(), p.size(), &span)), want)
                << "step " << i;
            if (plain.learn_plain(p.data(), p.size(), &span)) {
                EXPECT_EQ(want, static_cast<int>(Role::media)) << "step " << i;
            } else {
                EXPECT_EQ(static_cast<int>(plain.learn_role(p.data(), p.size(), &span)), want)
                    << "step " << i;
            }
        }
        const Bytes& first = s.steps[0].packet;
        for (const streams::StreamClassifier* k : {&c, &one, &plain}) {
            EXPECT_EQ(static_cast<int>(k->role_of(first.data(), first.size())),
                      static_cast<int>(s.first_again));
            EXPECT_EQ(k->media_ssrc(), s.media_at_end);
            for (const Step& step : s.steps)
                EXPECT_EQ(k->seen(be16(step.packet.data() + 2)),
                          c.seen(be16(step.packet.data() + 2)));
        }
    }
}

// A retransmission on a new SSRC that the SDP names as RTX, with a payload of one byte: too short
// to hold its original sequence number, which must not be read (under ASan, the copy in a block
// of its exact size shows a read past it).
TEST(StreamClassifier, OneByteRetransmissionIsNotReadPast) {
    streams::SdpMap sdp;
    std::string err;
    ASSERT_TRUE(streams::parse_sdp(
        "m=video 9 RTP/AVPF 96 97\na=rtpmap:96 VP8/90000\na=rtpmap:97 rtx/90000\n"
        "a=fmtp:97 apt=96\n",
        &sdp, &err))
        << err;
    for (size_t payload : {0, 1, 2}) {
        SCOPED_TRACE(payload);
        streams::StreamClassifier c(true, nullptr, &sdp.video);
        const Bytes media = rtp(96, 10, 900, kMedia, kVp8);
        c.learn(media.data(), media.size());
        const Bytes rtx = rtp(97, 1, 900, kMedia + 1, Bytes(payload, 0));
        std::unique_ptr<uint8_t[]> exact(new uint8_t[rtx.size()]);
        std::copy(rtx.begin(), rtx.end(), exact.get());
        streams::RtpSpan span;
        c.learn_role(exact.get(), rtx.size(), &span);
    }
}

// ---- The unwrap stage: what reaches the reorder stage ----------------------------------------

struct Kept {
    std::vector<Bytes> packets;
    std::vector<bool> flexfec;
};
void keep_fec(void* context, const uint8_t* p, size_t n, uint32_t media, bool flex) {
    auto* k = static_cast<Kept*>(context);
    EXPECT_EQ(media, kMedia);
    k->packets.emplace_back(p, p + n);
    k->flexfec.push_back(flex);
}

struct UnwrapCase {
    const char* name;
    bool video;
    std::vector<Bytes> in;
    std::vector<Bytes> out;  // every packet next() gives, in order
    size_t fec_kept;
};

TEST(StreamUnwrap, GivesThePlainPackets) {
    streams::SdpMap sdp;
    std::string err;
    ASSERT_TRUE(
        streams::parse_sdp("m=video 9 RTP/AVPF 96 97 118 120 115\n"
                           "a=rtpmap:96 VP8/90000\na=rtpmap:97 rtx/90000\n"
                           "a=fmtp:97 apt=118\na=rtpmap:118 red/90000\n"
                           "a=rtpmap:120 ulpfec/90000\na=rtpmap:115 flexfec-03/90000\n"
                           "m=audio 9 RTP/AVPF 111 63\na=rtpmap:111 opus/48000/2\n"
                           "a=rtpmap:63 red/48000/2\n",
                           &sdp, &err))
        << err;
    const Bytes vp8 = {0x90, 0x80, 0x01, 0xAA};
    const Bytes fec = cat({120}, ulpfec(0x00, 20, 2, 0x80));
    const UnwrapCase cases[] = {
        {"red_primary",
         true,
         {rtp(118, 20, 900, kMedia, red1(96, vp8), true, 4)},
         {rtp(96, 20, 900, kMedia, vp8, true)},
         0},
        {"rtx_of_red",
         true,
         {rtp(118, 20, 900, kMedia, red1(96, vp8)),
          rtp(97, 7, 1800, kOther, cat({0, 21}, red1(96, vp8)), true)},
         {rtp(96, 20, 900, kMedia, vp8), rtp(96, 21, 1800, kMedia, vp8, true)},
         0},
        {"ulpfec_without_payload",
         true,
         {rtp(118, 20, 900, kMedia, red1(96, vp8)), rtp(118, 21, 900, kMedia, fec)},
         {rtp(96, 20, 900, kMedia, vp8), rtp(118, 21, 900, kMedia, {})},
         1},
        {"flexfec_set_aside",
         true,
         {rtp(118, 20, 900, kMedia, red1(96, vp8)),
          rtp(115, 3, 900, kOther, flexfec(0x00, 1, kMedia, {0x80, 0x01, 5}))},
         {rtp(96, 20, 900, kMedia, vp8)},
         1},
        {"probes",
         true,
         {rtp(97, 6, 0, kOther, {}, false, 255), rtp(118, 20, 900, kMedia, red1(96, vp8)),
          rtp(118, 21, 900, kMedia, {}, false, 255)},
         {rtp(96, 20, 900, kMedia, vp8), rtp(118, 21, 900, kMedia, {}, false, 255)},
         0},
        {"audio_red_restores_the_missing_packet",
         false,
         {rtp(63, 5, 960, kMedia, red1(111, kOpus)),
          rtp(63, 7, 2880, kMedia, red_audio({0x78, 0x06}, kOpus), true)},
         {rtp(111, 5, 960, kMedia, kOpus), rtp(111, 6, 1920, kMedia, {0x78, 0x06}),
          rtp(111, 7, 2880, kMedia, kOpus, true)},
         0},
        {"payload_type_the_sdp_does_not_name",
         true,
         {rtp(118, 20, 900, kMedia, red1(96, vp8)), rtp(100, 21, 900, kMedia, vp8, true)},
         {rtp(96, 20, 900, kMedia, vp8), rtp(100, 21, 900, kMedia, {})},
         0},
        // On another SSRC once the media's is known: no sender restarting, it goes nowhere.
        {"payload_type_the_sdp_does_not_name_on_another_ssrc",
         true,
         {rtp(118, 20, 900, kMedia, red1(96, vp8)), rtp(100, 5, 900, kOther, vp8),
          rtp(118, 21, 1800, kMedia, red1(96, vp8), true)},
         {rtp(96, 20, 900, kMedia, vp8), rtp(96, 21, 1800, kMedia, vp8, true)},
         0},
        {"audio_red_previous_arrived",
         false,
         {rtp(63, 5, 960, kMedia, red1(111, kOpus)),
          rtp(63, 6, 1920, kMedia, red_audio(kOpus, kOpus))},
         {rtp(111, 5, 960, kMedia, kOpus), rtp(111, 6, 1920, kMedia, kOpus)},
         0},
    };
    for (const UnwrapCase& c : cases) {
        SCOPED_TRACE(c.name);
        StreamStats stats;
        streams::StreamUnwrap u(c.video, &stats, c.video ? &sdp.video : &sdp.audio);
        Kept kept;
        u.set_fec_hook({keep_fec, &kept});
        std::vector<Bytes> got;
        for (Bytes p : c.in) {
            u.take(p.data(), p.size());
            const uint8_t* out = nullptr;
            size_t n = 0;
            while (u.next(&out, &n)) {
                got.emplace_back(out, out + n);
                u.pushed(ReorderWindow::Verdict::held);
            }
        }
        EXPECT_EQ(got, c.out);
        EXPECT_EQ(kept.packets.size(), c.fec_kept);
        EXPECT_EQ(stats.repair.fec_packets, c.fec_kept);
    }
}

// Without an SDP, packets wait behind one whose payload type is undecided and keep their order;
// the wait ends at kMaxWaiting packets, or at the end of the stream.
TEST(StreamUnwrap, UndecidedPacketsWaitInOrderAndNotForEver) {
    const size_t cap = streams::StreamUnwrap::kMaxWaiting;
    for (size_t count : {size_t{3}, cap, cap + 1, cap + 4}) {
        SCOPED_TRACE(count);
        streams::StreamUnwrap u(false, nullptr);
        std::vector<Bytes> in, got;
        // A RED primary header or an Opus TOC: undecided. Then plain Opus that cannot be RED.
        in.push_back(rtp(63, 0, 0, kMedia, red1(111, kOpus)));
        for (size_t i = 1; i < count; ++i)
            in.push_back(rtp(111, static_cast<uint16_t>(i), 960 * i, kMedia, {0xFC, 0xFF, 0xFE}));
        const uint8_t* out = nullptr;
        size_t n = 0;
        for (Bytes p : in) {
            u.take(p.data(), p.size());
            while (u.next(&out, &n)) got.emplace_back(out, out + n);
        }
        EXPECT_EQ(got.empty(), count <= cap) << "released before the end";
        u.finish();
        while (u.next(&out, &n)) got.emplace_back(out, out + n);
        EXPECT_EQ(got, in);
    }
}

// Probes need no decision: behind an undecided packet they keep their places, as bare headers,
// without taking places in the ring, so only media ends the wait early. Chromium sends a burst of
// them on the media SSRC after a first key frame of two RED packets.
Bytes red_at(size_t seq) {
    return rtp(118, static_cast<uint16_t>(seq), 900, kMedia, red1(96, kVp8));
}
Bytes vp8_at(size_t seq) {
    return rtp(96, static_cast<uint16_t>(seq), 900, kMedia, kVp8);
}
// A browser's probe: the VP8 payload type, a header extension, 255 bytes of padding.
Bytes probe_at(size_t seq) {
    Bytes b = rtp(96, static_cast<uint16_t>(seq), 900, kMedia, {0xBE, 0xDE, 0, 1, 0x22, 1, 2, 3},
                  false, 255);
    b[0] |= 0x10;
    return b;
}
Bytes header_at(size_t seq) {
    return rtp(96, static_cast<uint16_t>(seq), 900, kMedia, {});
}
std::vector<Bytes> run_of(Bytes (*make)(size_t), size_t from, size_t count) {
    std::vector<Bytes> v;
    for (size_t i = 0; i < count; ++i) v.push_back(make(from + i));
    return v;
}
std::vector<Bytes> join(std::initializer_list<std::vector<Bytes>> parts) {
    std::vector<Bytes> v;
    for (const std::vector<Bytes>& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
}

struct WaitCase {
    std::string name;
    std::vector<Bytes> in;
    size_t early;  // packets next() gives before finish()
    std::vector<Bytes> out;
    uint64_t probes;
};

// Two RED packets, `n` probes, the third RED packet: RED once the probes' ring holds them all.
WaitCase red_probes_red(size_t n) {
    const size_t last = 12 + n;
    const bool fit = n <= streams::StreamUnwrap::kMaxWaitingProbes;
    std::vector<Bytes> out;
    if (fit)
        out = join({run_of(vp8_at, 10, 2), run_of(header_at, 12, n), {vp8_at(last)}});
    else  // the probe past the bound ends the wait: RED is taken for plain VP8, as captured
        out = join({run_of(red_at, 10, 2),
                    run_of(header_at, 12, n - 1),
                    {probe_at(last - 1)},
                    {red_at(last)}});
    return {"red_2_probes_" + std::to_string(n) + "_red",
            join({run_of(red_at, 10, 2), run_of(probe_at, 12, n), {red_at(last)}}), n + 3, out, n};
}

TEST(StreamUnwrap, ProbesKeepTheirPlacesWithoutEndingTheWait) {
    const size_t cap = streams::StreamUnwrap::kMaxWaitingProbes;
    const Bytes other_probe = rtp(97, 5, 0, kOther, {}, false, 255);
    const WaitCase cases[] = {
        red_probes_red(14),  // the last that fitted in the media's ring
        red_probes_red(15),
        red_probes_red(16),
        red_probes_red(17),
        red_probes_red(cap),
        red_probes_red(cap + 1),
        // Nothing waits yet, and no media SSRC takes their numbers: they go no further.
        {"probes_before_any_media", join({run_of(probe_at, 8, 2), run_of(red_at, 10, 3)}), 3,
         run_of(vp8_at, 10, 3), 2},
        {"probe_on_another_ssrc_goes_nowhere",
         {red_at(10), other_probe, red_at(11), red_at(12)},
         3,
         run_of(vp8_at, 10, 3),
         1},
        // The media's ring: an undecided RED packet and 15 more wait, probes among them or not.
        {"media_ring_full_still_waits",
         join({{red_at(10)}, run_of(vp8_at, 11, 15), {probe_at(26)}}), 0,
         join({{red_at(10)}, run_of(vp8_at, 11, 15), {header_at(26)}}), 1},
        {"media_past_the_ring_decides_plain",
         join(
             {{red_at(10)}, run_of(vp8_at, 11, 8), run_of(probe_at, 19, 5), run_of(vp8_at, 24, 8)}),
         22,
         join({{red_at(10)},
               run_of(vp8_at, 11, 8),
               run_of(header_at, 19, 5),
               run_of(vp8_at, 24, 8)}),
         5},
    };
    // A record longer than any datagram never waits (nothing that long is copied into the ring):
    // it goes on at once, ahead of what waits.
    const Bytes huge(streams::StreamUnwrap::kMaxRtpSize + 1, 0x80);
    const WaitCase longest[] = {
        {"record_past_the_longest_packet_while_red_waits",
         {red_at(10), huge, red_at(11), red_at(12)},
         4,
         {huge, vp8_at(10), vp8_at(11), vp8_at(12)},
         0},
    };
    std::vector<WaitCase> all(std::begin(cases), std::end(cases));
    all.insert(all.end(), std::begin(longest), std::end(longest));
    for (const WaitCase& c : all) {
        SCOPED_TRACE(c.name);
        StreamStats stats;
        streams::StreamUnwrap u(true, &stats);
        std::vector<Bytes> got;
        const uint8_t* out = nullptr;
        size_t n = 0;
        for (Bytes p : c.in) {
            u.take(p.data(), p.size());
            while (u.next(&out, &n)) got.emplace_back(out, out + n);
        }
        EXPECT_EQ(got.size(), c.early);
        u.finish();
        while (u.next(&out, &n)) got.emplace_back(out, out + n);
        EXPECT_EQ(got, c.out);
        EXPECT_EQ(stats.repair.probes, c.probes);
    }
}

TEST(StreamUnwrap, CreditsRecoveriesOnlyWhenTheReorderStageTookThem) {
    StreamStats stats;
    streams::StreamUnwrap u(true, &stats);
    const Bytes in[] = {rtp(96, 10, 900, kMedia, kVp8), rtp(96, 12, 2700, kMedia, kVp8),
                        rtp(97, 1, 1800, kOther, cat({0, 11}, kVp8)),
                        rtp(97, 2, 1800, kOther, cat({0, 11}, kVp8))};
    for (Bytes p : in) {
        u.take(p.data(), p.size());
        const uint8_t* out = nullptr;
        size_t n = 0;
        while (u.next(&out, &n)) u.pushed(ReorderWindow::Verdict::held);
    }
    EXPECT_EQ(stats.repair.rtx_recovered, 1u);  // the second copy is a repeat
    ASSERT_EQ(stats.ssrcs.size(), 2u);
    EXPECT_STREQ(stats.ssrcs[1].role, "rtx");
    EXPECT_EQ(stats.ssrcs[1].packets, 2u);
    EXPECT_EQ(stats.first_rtp_timestamp, 900u);
    EXPECT_EQ(stats.last_rtp_timestamp, 2700u);
}

// No datagram is longer than 65,535 bytes: a longer record is not taken apart (nor copied).
TEST(StreamUnwrap, LeavesRecordsLongerThanADatagramAsTheyAre) {
    streams::SdpMap sdp;
    std::string err;
    ASSERT_TRUE(
        streams::parse_sdp("m=video 9 RTP/AVPF 96 118\na=rtpmap:118 red/90000\n", &sdp, &err));
    for (size_t size : {size_t{65535}, size_t{65536}}) {
        SCOPED_TRACE(size);
        streams::StreamUnwrap u(true, nullptr, &sdp.video);
        Bytes p = rtp(118, 1, 900, kMedia, red1(96, Bytes(size - 13, 0x10)));
        u.take(p.data(), p.size());
        const uint8_t* out = nullptr;
        size_t n = 0;
        ASSERT_TRUE(u.next(&out, &n));
        EXPECT_EQ(n, size > 65535 ? size : size - 1);
        EXPECT_EQ(out[1] & 0x7F, size > 65535 ? 118 : 96);
    }
}

const char kCallSdp[] =
    "v=0\r\nm=video 9 RTP/AVPF 96 97 35\r\n"
    "a=rtpmap:96 VP8/90000\r\na=rtpmap:97 RTX/90000\r\n"
    "a=fmtp:97 apt=96\r\na=ssrc-group:FID 1 2\r\n"
    "a=ssrc-group:FEC-FR 1 3\r\nm=application 9 x\r\n"
    "a=rtpmap:98 rtx/90000\r\n";

TEST(SdpMap, ReadsAptAndGroups) {
    streams::SdpMap sdp;
    std::string err;
    ASSERT_TRUE(streams::parse_sdp(kCallSdp, &sdp, &err)) << err;
    EXPECT_TRUE(sdp.video.present);
    EXPECT_FALSE(sdp.audio.present);
    EXPECT_EQ(sdp.video.apt[97], 96);
    EXPECT_EQ(sdp.video.fid.size(), 1u);
    EXPECT_EQ(sdp.video.fec_fr.size(), 1u);
    EXPECT_FALSE(streams::parse_sdp("v=0\r\n", &sdp, &err));
}

// The role of one payload type of the video section; every other one stays unnamed.
struct SdpPtCase {
    const char* name;
    const char* sdp;
    int pt;
    streams::SdpPt role;
};

void PrintTo(const SdpPtCase& c, std::ostream* os) {
    *os << c.name;
}

class SdpMapRoles : public ::testing::TestWithParam<SdpPtCase> {};

TEST_P(SdpMapRoles, NameThePayloadTypes) {
    const SdpPtCase& c = GetParam();
    streams::SdpMap sdp;
    std::string err;
    ASSERT_TRUE(streams::parse_sdp(c.sdp, &sdp, &err)) << err;
    EXPECT_EQ(sdp.video.pt[c.pt], c.role);
    for (int pt = 0; pt < 128; ++pt) {
        EXPECT_EQ(sdp.video.apt[pt], c.sdp == kCallSdp && pt == 97 ? 96 : 0) << pt;
        EXPECT_EQ(sdp.audio.pt[pt], streams::SdpPt::none) << pt;
    }
    for (int id = 0; id < 256; ++id) EXPECT_EQ(sdp.video.ext[id], streams::SdpExt::kept) << id;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SdpMapRoles,
    ::testing::Values(SdpPtCase{"rtpmap_media", kCallSdp, 96, streams::SdpPt::media},
                      SdpPtCase{"rtpmap_rtx", kCallSdp, 97, streams::SdpPt::rtx},
                      SdpPtCase{"m_line_only", kCallSdp, 35, streams::SdpPt::media},
                      SdpPtCase{"another_sections", kCallSdp, 98, streams::SdpPt::none},
                      SdpPtCase{"first_format_without_rtpmap", "v=0\r\nm=video 9 RTP/AVPF 96\r\n",
                                96, streams::SdpPt::media},
                      // 128 is no payload type: neither the m= line nor the rtpmap names one.
                      SdpPtCase{"payload_type_128_ignored",
                                "v=0\r\nm=video 9 RTP/AVPF 96 128\r\na=rtpmap:128 rtx/90000\r\n"
                                "a=fmtp:128 apt=96\r\n",
                                127, streams::SdpPt::none}),
    [](const ::testing::TestParamInfo<SdpPtCase>& info) { return std::string(info.param.name); });

}  // namespace
