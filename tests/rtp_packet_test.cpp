#include "rtp_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A packet of `size` bytes whose first two bytes are `b0` and `b1`, the rest filled with `fill`.
Bytes packet(size_t size, uint8_t b0, uint8_t b1 = 0x60, uint8_t fill = 0xAA) {
    Bytes p(size, fill);
    if (size > 0) p[0] = b0;
    if (size > 1) p[1] = b1;
    return p;
}

struct ParseCase {
    const char* name;
    Bytes data;
    int result;
    int payload_offset;  // when result is 0
    int payloadlen;      // when result is 0
};

class ParseTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTable, ResultAndPayloadView) {
    const ParseCase& c = GetParam();
    rtp_packet_t pkt;
    memset(&pkt, 0x5A, sizeof(pkt));
    ASSERT_EQ(rtp_packet_deserialize(&pkt, c.data.data(), static_cast<int>(c.data.size())),
              c.result);
    if (c.result == 0) {
        EXPECT_EQ(static_cast<const uint8_t*>(pkt.payload), c.data.data() + c.payload_offset);
        EXPECT_EQ(pkt.payloadlen, c.payloadlen);
    }
}

Bytes with_ext(size_t size, uint16_t words, uint8_t b0 = 0x90) {
    Bytes p = packet(size, b0);
    p[12] = 0xBE;
    p[13] = 0xDE;
    p[14] = static_cast<uint8_t>(words >> 8);
    p[15] = static_cast<uint8_t>(words);
    return p;
}

Bytes with_last(Bytes p, uint8_t last) {
    p.back() = last;
    return p;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ParseTable,
    ::testing::Values(
        ParseCase{"bare12", packet(12, 0x80), 0, 12, 0},
        ParseCase{"short11", packet(11, 0x80), -1, 0, 0}, ParseCase{"empty", Bytes{}, -1, 0, 0},
        ParseCase{"version1", packet(20, 0x40), 0, 12, 8},
        ParseCase{"version0", packet(20, 0x00), -1, 0, 0},
        ParseCase{"version3", packet(20, 0xC0), -1, 0, 0},
        ParseCase{"csrc15_72", packet(72, 0x8F), 0, 72, 0},
        ParseCase{"csrc15_71", packet(71, 0x8F), -1, 0, 0},
        ParseCase{"csrc1_16", packet(16, 0x81), 0, 16, 0},
        ParseCase{"csrc1_20", packet(20, 0x81), 0, 16, 4},
        ParseCase{"ext_15", packet(15, 0x90), -1, 0, 0},
        ParseCase{"ext_zero_len_16", with_ext(16, 0), 0, 16, 0},
        ParseCase{"ext_one_word_19", with_ext(19, 1), -1, 0, 0},
        ParseCase{"ext_one_word_20", with_ext(20, 1), 0, 20, 0},
        ParseCase{"ext_one_word_25", with_ext(25, 1), 0, 20, 5},
        ParseCase{"ext_16383_words_short", with_ext(100, 16383), -1, 0, 0},
        ParseCase{"ext_16383_words_fits", with_ext(16 + 65532, 16383), 0, 16 + 65532, 0},
        ParseCase{"ext_16384_words_refused", with_ext(16 + 65536 + 10, 16384), -1, 0, 0},
        ParseCase{"ext_65535_words_refused", with_ext(16 + 262140, 65535), -1, 0, 0},
        ParseCase{"pad_12", packet(12, 0xA0), -1, 0, 0},
        ParseCase{"pad_13_count0", with_last(packet(13, 0xA0), 0), 0, 12, 1},
        ParseCase{"pad_13_count1", with_last(packet(13, 0xA0), 1), 0, 12, 0},
        ParseCase{"pad_13_count2", with_last(packet(13, 0xA0), 2), -1, 0, 0},
        ParseCase{"pad_255", with_last(packet(12 + 255, 0xA0), 255), 0, 12, 0},
        // Padding is measured against what is left after the extension.
        ParseCase{"ext_and_pad_fit", with_last(with_ext(24, 1, 0xB0), 4), 0, 20, 0},
        ParseCase{"ext_and_pad_over", with_last(with_ext(24, 1, 0xB0), 5), -1, 0, 0}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(RtpPacket, FixedHeaderFields) {
    const Bytes p = {0x80, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x12, 0x34, 0x56, 0x78, 0x01};
    rtp_packet_t pkt;
    ASSERT_EQ(rtp_packet_deserialize(&pkt, p.data(), static_cast<int>(p.size())), 0);
    EXPECT_EQ(pkt.rtp.v, 2);
    EXPECT_EQ(pkt.rtp.m, 1);
    EXPECT_EQ(pkt.rtp.pt, 96);
    EXPECT_EQ(pkt.rtp.seq, 65535);
    EXPECT_EQ(pkt.rtp.timestamp, 4294967295u);
    EXPECT_EQ(pkt.rtp.ssrc, 0x12345678u);
    EXPECT_EQ(pkt.extension, nullptr);
    EXPECT_EQ(pkt.extlen, 0);
    EXPECT_EQ(pkt.payloadlen, 1);
}

TEST(RtpPacket, MarkerAndPayloadType121) {
    Bytes p = packet(12, 0x80, 0x79);
    rtp_packet_t pkt;
    ASSERT_EQ(rtp_packet_deserialize(&pkt, p.data(), 12), 0);
    EXPECT_EQ(pkt.rtp.m, 0);
    EXPECT_EQ(pkt.rtp.pt, 121);
}

TEST(RtpPacket, CsrcListIsReadBigEndianAndRestStaysZero) {
    Bytes p = packet(72, 0x8F);
    for (int i = 0; i < 15; ++i) {
        p[12 + 4 * i] = 0x01;
        p[12 + 4 * i + 1] = 0x00;
        p[12 + 4 * i + 2] = 0x00;
        p[12 + 4 * i + 3] = static_cast<uint8_t>(i);
    }
    rtp_packet_t pkt;
    ASSERT_EQ(rtp_packet_deserialize(&pkt, p.data(), 72), 0);
    EXPECT_EQ(pkt.rtp.cc, 15);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(pkt.csrc[i], 0x01000000u + i) << i;
    EXPECT_EQ(pkt.csrc[15], 0u);
}

TEST(RtpPacket, ExtensionFields) {
    Bytes p = with_ext(24, 2);
    rtp_packet_t pkt;
    ASSERT_EQ(rtp_packet_deserialize(&pkt, p.data(), 24), 0);
    EXPECT_EQ(pkt.extprofile, 0xBEDE);
    EXPECT_EQ(pkt.extlen, 8);
    EXPECT_EQ(static_cast<const uint8_t*>(pkt.extension), p.data() + 16);
    EXPECT_EQ(static_cast<const uint8_t*>(pkt.payload), p.data() + 24);
    EXPECT_EQ(pkt.payloadlen, 0);
}

TEST(RtpPacket, ShortPacketLeavesRecordUntouched) {
    const Bytes good = packet(20, 0x80);
    rtp_packet_t pkt;
    ASSERT_EQ(rtp_packet_deserialize(&pkt, good.data(), 20), 0);
    rtp_packet_t before;
    memcpy(&before, &pkt, sizeof(pkt));
    const Bytes bad = packet(11, 0x80);
    EXPECT_EQ(rtp_packet_deserialize(&pkt, bad.data(), 11), -1);
    EXPECT_EQ(rtp_packet_deserialize(&pkt, bad.data(), -5), -1);
    EXPECT_EQ(memcmp(&before, &pkt, sizeof(pkt)), 0);
}

TEST(RtpPacket, FailedParseStillHoldsTheSequenceNumber) {
    // Callers that ignore the result still read the sequence number.
    Bytes p = packet(13, 0xA0, 0x60);
    p[2] = 0x12;
    p[3] = 0x34;
    p.back() = 9;
    rtp_packet_t pkt;
    EXPECT_EQ(rtp_packet_deserialize(&pkt, p.data(), 13), -1);
    EXPECT_EQ(pkt.rtp.seq, 0x1234);
}

TEST(RtpPacket, EveryVersionAndLength) {
    // Every version with every length up to the CSRC-15 limit: parse never reads past the end
    // (the sanitizer build checks the reads) and accepts exactly versions 1 and 2.
    for (int version = 0; version < 4; ++version) {
        for (int len = 0; len <= 80; ++len) {
            Bytes p(len ? len : 1, 0);
            p[0] = static_cast<uint8_t>((version << 6) | 0x0F);
            Bytes exact(p.begin(), p.begin() + len);
            rtp_packet_t pkt;
            const int rc = rtp_packet_deserialize(&pkt, exact.data(), len);
            const bool ok = (version == 1 || version == 2) && len >= 72;
            EXPECT_EQ(rc, ok ? 0 : -1) << "version " << version << " len " << len;
        }
    }
}

}  // namespace
