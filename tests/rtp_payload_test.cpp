// Reassembly of RTP payloads into frames: where frames end, how loss is tracked, buffer growth and
// the frame-size limit. Packets go in as literal bytes through the decoder binding.
#include "rtp_payload.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include "rtp_support.h"

namespace {

using rtptest::Frame;
const rtp_payload_t& kRecorder = rtptest::kFrameRecorder;

constexpr uint8_t S = 0x10;  // VP8 descriptor: start of a partition
constexpr uint8_t C = 0x00;  // VP8 descriptor: continuation

struct Packet {
    uint16_t seq;
    uint32_t timestamp;
    bool marker;
    std::vector<uint8_t> payload;  // VP8 descriptor byte, then data
    uint8_t pt = 96;
};

std::vector<uint8_t> serialize(const Packet& p) {
    return rtptest::rtp_bytes(p.seq, p.timestamp, p.marker, p.payload, p.pt);
}

struct StreamCase {
    const char* name;
    std::vector<Packet> packets;
    std::vector<int> results;  // of rtp_payload_decode_input, one per packet
    std::vector<Frame> frames;
};

void PrintTo(const StreamCase& c, std::ostream* os) {
    *os << c.name;
}

class ReassemblyTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(ReassemblyTest, DeliversExactlyTheseFrames) {
    const StreamCase& c = GetParam();
    std::vector<Frame> frames;
    void* decoder = rtp_payload_decode_create(&kRecorder, &frames);
    ASSERT_NE(decoder, nullptr);
    std::vector<int> results;
    for (const Packet& p : c.packets) {
        const std::vector<uint8_t> bytes = serialize(p);
        results.push_back(
            rtp_payload_decode_input(decoder, bytes.data(), static_cast<int>(bytes.size())));
    }
    rtp_payload_decode_destroy(decoder);
    EXPECT_EQ(results, c.results);
    EXPECT_EQ(frames, c.frames);
}

const StreamCase kStreamCases[] = {
    {"FirstPacketShowsNoLossAndEndsNothing", {{0, 1000, false, {S, 1}}}, {1}, {}},
    {"MarkerEndsFrameOfThreeFragments",
     {{1, 1000, false, {S, 1}}, {2, 1000, false, {C, 2}}, {3, 1000, true, {C, 3}}},
     {1, 1, 1},
     {{{1, 2, 3}, 1000, 0}}},
    {"TimestampChangeEndsFrame",
     {{1, 1000, false, {S, 1}}, {2, 1000, false, {C, 2}}, {3, 4000, false, {C, 3}}},
     {1, 1, 1},
     {{{1, 2}, 1000, 0}}},
    {"StartBitMidFrameEndsThePartCollected",
     {{1, 1000, false, {S, 1}}, {2, 1000, true, {S, 2}}},
     {1, 1},
     {{{1}, 1000, 0}, {{2}, 1000, 0}}},
    {"SequenceWrapIsNoLoss",
     {{65535, 1000, false, {S, 1}}, {0, 1000, true, {C, 2}}},
     {1, 1},
     {{{1, 2}, 1000, 0}}},
    {"RepeatedPacketDropsFrame", {{5, 1000, false, {S, 1}}, {5, 1000, true, {C, 1}}}, {1, 1}, {}},
    {"GapDropsFrame", {{5, 1000, false, {S, 1}}, {7, 1000, true, {C, 3}}}, {1, 1}, {}},
    {"LossFlagOnNextFrameOnly",
     {{1, 1000, false, {S, 1}},
      {3, 1000, true, {C, 3}},
      {4, 4000, true, {S, 4}},
      {5, 7000, true, {S, 5}}},
     {1, 1, 1, 1},
     {{{4}, 4000, 0x100}, {{5}, 7000, 0}}},
    {"PayloadType121RefusedWithoutTouchingState",
     {{1, 1000, false, {S, 1}}, {2, 1000, true, {C, 9}, 121}, {2, 1000, true, {C, 2}}},
     {1, -22, 1},
     {{{1, 2}, 1000, 0}}},
    {"SequenceAfterRefusedPacketIsAGap",
     {{1, 1000, false, {S, 1}}, {2, 1000, false, {C, 9}, 121}, {3, 1000, true, {C, 3}}},
     {1, -22, 1},
     {}},
    {"PendingFrameAtEndOfStreamIsNotDelivered",
     {{1, 1000, true, {S, 1}}, {2, 4000, false, {S, 2}}},
     {1, 1},
     {{{1}, 1000, 0}}},
};

INSTANTIATE_TEST_SUITE_P(RtpPayload, ReassemblyTest, ::testing::ValuesIn(kStreamCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Direct use of the helper, for the buffer bookkeeping.
struct Helper {
    std::vector<Frame> frames;
    rtp_payload_helper_t* h =
        static_cast<rtp_payload_helper_t*>(rtp_payload_helper_create(&kRecorder, &frames));
    ~Helper() { rtp_payload_helper_destroy(h); }

    int write(const std::vector<uint8_t>& bytes) {
        rtp_packet_t pkt = {};
        pkt.payload = bytes.data();
        pkt.payloadlen = static_cast<int>(bytes.size());
        return rtp_payload_write(h, &pkt);
    }
};

TEST(RtpPayloadHelper, GrowthSizes) {
    struct {
        int needed;
        int capacity;
    } const cases[] = {{100, 16100}, {64003, 80003}, {64004, 80005}};
    for (const auto& c : cases) {
        Helper helper;
        ASSERT_NE(helper.h, nullptr);
        EXPECT_EQ(helper.write(std::vector<uint8_t>(c.needed, 0x5A)), 0);
        EXPECT_EQ(helper.h->size, c.needed);
        EXPECT_EQ(helper.h->capacity, c.capacity) << "needed " << c.needed;
    }
}

TEST(RtpPayloadHelper, FrameSizeLimit) {
    Helper helper;
    helper.h->flags = 0;  // as after a first packet
    const std::vector<uint8_t> half(RTP_PAYLOAD_MAX_SIZE / 2, 0x33);
    EXPECT_EQ(helper.write(half), 0);
    EXPECT_EQ(helper.write(half), 0);
    EXPECT_EQ(helper.h->size, RTP_PAYLOAD_MAX_SIZE);
    EXPECT_EQ(helper.write({0x44}), -22);
    EXPECT_EQ(helper.h->size, RTP_PAYLOAD_MAX_SIZE);
    EXPECT_EQ(helper.h->lost, 0);

    rtp_payload_onframe(helper.h);
    ASSERT_EQ(helper.frames.size(), 1u);
    EXPECT_EQ(helper.frames[0].data.size(), static_cast<size_t>(RTP_PAYLOAD_MAX_SIZE));
    EXPECT_EQ(helper.frames[0].data.back(), 0x33);
}

TEST(RtpPayloadHelper, NegativeLengthIsRefused) {
    Helper helper;
    helper.write({1, 2, 3});
    rtp_packet_t pkt = {};
    pkt.payloadlen = -2;
    EXPECT_EQ(rtp_payload_write(helper.h, &pkt), -22);
    EXPECT_EQ(helper.h->size, 3);
}

TEST(RtpPayloadHelper, DestroyDiscardsPendingFrame) {
    std::vector<Frame> frames;
    void* decoder = rtp_payload_decode_create(&kRecorder, &frames);
    const std::vector<uint8_t> bytes = serialize({1, 1000, false, {S, 1, 2, 3}});
    EXPECT_EQ(rtp_payload_decode_input(decoder, bytes.data(), static_cast<int>(bytes.size())), 1);
    rtp_payload_decode_destroy(decoder);
    EXPECT_TRUE(frames.empty());
}

}  // namespace
