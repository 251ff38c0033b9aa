// The VP8 unpacker: payload descriptor variants, partition starts and markers, refused packets.
#include "vp8_unpack.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include "rtp_payload.h"
#include "rtp_support.h"

namespace {

using rtptest::Frame;
const rtp_payload_t& kRecorder = rtptest::kFrameRecorder;

std::vector<uint8_t> rtp(uint16_t seq, uint32_t ts, bool marker, std::vector<uint8_t> payload,
                         uint8_t pt = 96) {
    return rtptest::rtp_bytes(seq, ts, marker, payload, pt, 1);
}

struct Unpacker {
    std::vector<Frame> frames;
    const rtp_unpacker_t* table = rtp_vp8_decode();
    void* instance = table->create(&kRecorder, &frames);
    ~Unpacker() { table->destroy(instance); }

    int decode(const std::vector<uint8_t>& packet) {
        return table->decode(instance, packet.data(), static_cast<int>(packet.size()));
    }
    rtp_payload_helper_t* helper() { return static_cast<rtp_payload_helper_t*>(instance); }
};

struct DescriptorCase {
    const char* name;
    std::vector<uint8_t> payload;  // sent alone, with the marker set
    std::vector<uint8_t> data;     // the frame expected; empty: nothing delivered
};

void PrintTo(const DescriptorCase& c, std::ostream* os) {
    *os << c.name;
}

class Vp8DescriptorTest : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(Vp8DescriptorTest, StripsExactlyTheDescriptor) {
    const DescriptorCase& c = GetParam();
    Unpacker u;
    EXPECT_EQ(u.decode(rtp(7, 90000, true, c.payload)), 1);
    if (c.data.empty()) {
        EXPECT_TRUE(u.frames.empty());
    } else {
        ASSERT_EQ(u.frames.size(), 1u);
        EXPECT_EQ(u.frames[0], (Frame{c.data, 90000, 0}));
    }
}

const DescriptorCase kDescriptorCases[] = {
    {"StartNoExtension", {0x10, 0xA1, 0xA2, 0xA3}, {0xA1, 0xA2, 0xA3}},
    {"NBitAndPartitionIndexIgnored", {0x37, 0xA1}, {0xA1}},
    {"ShortPictureId", {0x90, 0x80, 0x05, 0xA1}, {0xA1}},
    {"LongPictureId", {0x90, 0x80, 0x81, 0x23, 0xA1, 0xA2}, {0xA1, 0xA2}},
    {"PictureIdTl0TidByte", {0x80, 0xE0, 0x05, 0x11, 0x22, 0xA1}, {0xA1}},
    {"Tl0Alone", {0x90, 0x40, 0x11, 0xA1}, {0xA1}},
    {"KeyIdxAlone", {0x90, 0x10, 0x33, 0xA1}, {0xA1}},
    {"TidAlone", {0x90, 0x20, 0x33, 0xA1}, {0xA1}},
    {"TidAndKeyIdxShareOneByte", {0x90, 0x30, 0x33, 0xA1}, {0xA1}},
    {"AllOptionalBytes", {0x90, 0xF0, 0x81, 0x23, 0x11, 0x33, 0xA1}, {0xA1}},
    {"ExtensionByteWithNothingSet", {0x90, 0x00, 0xA1}, {0xA1}},
    // Descriptors that reach the end of the payload leave no data.
    {"OneBytePayload", {0x10}, {}},
    {"ExtensionByteMissing", {0x90}, {}},
    {"LongPictureIdCutShort", {0x90, 0x80, 0x81}, {}},
    {"LongPictureIdFillsThePayload", {0x90, 0x80, 0x81, 0x23}, {}},
    {"Tl0MissingAfterPictureId", {0x90, 0xC0, 0x05}, {}},
};

INSTANTIATE_TEST_SUITE_P(Vp8Unpack, Vp8DescriptorTest, ::testing::ValuesIn(kDescriptorCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Vp8Unpack, SinglePacketFrameEndsPendingFrameFirst) {
    Unpacker u;
    u.decode(rtp(1, 3000, false, {0x10, 1, 2}));
    u.decode(rtp(2, 3000, true, {0x10, 3}));
    EXPECT_EQ(u.frames, (std::vector<Frame>{{{1, 2}, 3000, 0}, {{3}, 3000, 0}}));
}

TEST(Vp8Unpack, MarkerWithoutStartCompletesFrame) {
    Unpacker u;
    u.decode(rtp(1, 3000, false, {0x90, 0x80, 0x01, 1}));
    u.decode(rtp(2, 3000, true, {0x80, 0x80, 0x01, 2}));
    EXPECT_EQ(u.frames, (std::vector<Frame>{{{1, 2}, 3000, 0}}));
}

TEST(Vp8Unpack, DescriptorOnlyPacketsStillActThroughStartAndMarker) {
    Unpacker u;
    // The last packet of a frame carries nothing but a descriptor and the marker.
    EXPECT_EQ(u.decode(rtp(1, 3000, false, {0x10, 1})), 1);
    EXPECT_EQ(u.decode(rtp(2, 3000, true, {0x00})), 1);
    // A descriptor-only partition start ends what was collected before it.
    EXPECT_EQ(u.decode(rtp(3, 6000, false, {0x10, 2})), 1);
    EXPECT_EQ(u.decode(rtp(4, 6000, false, {0x90, 0x80})), 1);
    EXPECT_EQ(u.frames, (std::vector<Frame>{{{1}, 3000, 0}, {{2}, 6000, 0}}));
}

TEST(Vp8Unpack, GapAtTimestampChangeThenStartBitDeliversWithLossFlag) {
    Unpacker u;
    u.decode(rtp(1, 3000, false, {0x10, 1}));
    // Packet 2 is missing; packet 3 starts the next frame with its first partition.
    u.decode(rtp(3, 6000, false, {0x10, 3}));
    u.decode(rtp(4, 6000, true, {0x00, 4}));
    u.decode(rtp(5, 9000, true, {0x10, 5}));
    EXPECT_EQ(u.frames, (std::vector<Frame>{{{3, 4}, 6000, 0x100}, {{5}, 9000, 0}}));
}

TEST(Vp8Unpack, GapAtTimestampChangeWithoutStartBitDropsNewFrame) {
    Unpacker u;
    u.decode(rtp(1, 3000, false, {0x10, 1}));
    u.decode(rtp(3, 6000, false, {0x00, 3}));
    u.decode(rtp(4, 6000, true, {0x00, 4}));
    u.decode(rtp(5, 9000, true, {0x10, 5}));
    EXPECT_EQ(u.frames, (std::vector<Frame>{{{5}, 9000, 0x100}}));
}

TEST(Vp8Unpack, RefusedPacketsLeaveHelperUntouched) {
    std::vector<uint8_t> padded_empty = rtp(2, 6000, true, {0x10, 0x02});
    padded_empty[0] |= 0x20;  // P: the last byte says two bytes of padding, the whole payload
    std::vector<uint8_t> version0 = rtp(2, 6000, true, {0x10, 1});
    version0[0] = 0x00;
    std::vector<uint8_t> short_header = rtp(2, 6000, true, {});
    short_header.resize(11);
    const struct {
        const char* name;
        std::vector<uint8_t> packet;
    } cases[] = {
        {"payload type 121", rtp(2, 6000, false, {0x10, 1}, 121)},
        {"payload type 121 with marker", rtp(2, 6000, true, {0x10, 1}, 121)},
        {"11 bytes", short_header},
        {"no payload", rtp(2, 6000, true, {})},
        {"version 0", version0},
        {"payload emptied by padding", padded_empty},
    };
    for (const auto& c : cases) {
        Unpacker u;
        u.decode(rtp(1, 3000, false, {0x10, 1}));
        rtp_payload_helper_t before;
        memcpy(&before, u.helper(), sizeof(before));
        EXPECT_EQ(u.decode(c.packet), -22) << c.name;
        EXPECT_EQ(memcmp(&before, u.helper(), sizeof(before)), 0) << c.name;
        EXPECT_TRUE(u.frames.empty()) << c.name;
    }
}

TEST(Vp8Unpack, MissingInstanceOrPacketIsRefused) {
    const std::vector<uint8_t> packet = rtp(1, 3000, true, {0x10, 1});
    EXPECT_EQ(rtp_vp8_decode()->decode(nullptr, packet.data(), static_cast<int>(packet.size())),
              -22);
    Unpacker u;
    EXPECT_EQ(u.table->decode(u.instance, nullptr, 20), -22);
}

TEST(Vp8Unpack, FragmentRefusedForSizeStillTakesPacket) {
    Unpacker u;
    u.helper()->maxsize = 4;
    EXPECT_EQ(u.decode(rtp(1, 3000, false, {0x10, 1, 2, 3})), 1);
    EXPECT_EQ(u.decode(rtp(2, 3000, false, {0x00, 4, 5})), 1);  // would make 5 bytes
    EXPECT_EQ(u.decode(rtp(3, 3000, true, {0x00, 4})), 1);
    EXPECT_EQ(u.frames, (std::vector<Frame>{{{1, 2, 3, 4}, 3000, 0}}));
}

}  // namespace
