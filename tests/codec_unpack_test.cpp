// The VP9, AV1 and H.264 depacketizers on golden packets written from their payload formats
// (RFC 9628, the AOM RTP payload format, RFC 6184), and the telling of a stream's codec.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <vector>

#include "rtp_payload.h"
#include "rtp_support.h"
#include "video_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Pkt {
    Bytes payload;
    bool marker = false;
    bool next_picture = false;  // a new timestamp (one frame interval on)
    bool lost_before = false;   // a sequence number is skipped before it
};

struct UnpackCase {
    const char* name;
    VideoCodec codec;
    std::vector<Pkt> packets;
    std::vector<Bytes> frames;  // delivered, in order
};

void PrintTo(const UnpackCase& c, std::ostream* os) {
    *os << c.name;
}

class CodecUnpack : public ::testing::TestWithParam<UnpackCase> {};

TEST_P(CodecUnpack, DeliversTheFramesADecoderReads) {
    const UnpackCase& c = GetParam();
    std::vector<rtptest::Frame> got;
    const rtp_unpacker_t* table = codec_unpacker(c.codec);
    void* u = table->create(&rtptest::kFrameRecorder, &got);
    uint16_t seq = 100;
    uint32_t ts = 9000;
    for (const Pkt& p : c.packets) {
        if (p.lost_before) ++seq;
        if (p.next_picture) ts += 3000;
        const Bytes b = rtptest::rtp_bytes(seq++, ts, p.marker, p.payload, 98);
        EXPECT_EQ(table->decode(u, b.data(), static_cast<int>(b.size())), 1);
    }
    table->destroy(u);
    ASSERT_EQ(got.size(), c.frames.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].data, c.frames[i]) << i;
}

const Bytes kTd = {0x12, 0x00};  // the temporal delimiter the AV1 unit starts each unit with
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
const Bytes kSc = {0, 0, 0, 1};

INSTANTIATE_TEST_SUITE_P(
    Table, CodecUnpack,
    ::testing::Values(
        // ---- VP9 ----
        UnpackCase{"vp9_nonflexible_key_with_ss",
                   VideoCodec::vp9,
                   // I L B E V, 15-bit picture id, TID/U/SID/D, TL0PICIDX, SS (N_S 0, Y, G: one
                   // group with one P_DIFF), then the data
                   {{{0xAE, 0x92, 0x34, 0x00, 0x05, 0x18, 0x01, 0x40, 0x00, 0xF0, 0x01, 0x04, 0x01,
                      0x82, 0x49, 0x83},
                     true}},
                   {{0x82, 0x49, 0x83}}},
        UnpackCase{"vp9_flexible_p_diffs_over_two_packets",
                   VideoCodec::vp9,
                   {{{0xF8, 0x05, 0x20, 0x03, 0x04, 0xAA, 0xBB}}, {{0xD4, 0x05, 0x02, 0xCC}, true}},
                   {{0xAA, 0xBB, 0xCC}}},
        UnpackCase{"vp9_two_spatial_layers_make_a_superframe",
                   VideoCodec::vp9,
                   {{{0xAC, 0x01, 0x00, 0x00, 0x11, 0x22}}, {{0xAC, 0x01, 0x02, 0x00, 0x33}, true}},
                   {{0x11, 0x22, 0x33, 0xC1, 0x02, 0x01, 0xC1}}},
        UnpackCase{"vp9_lost_middle_packet_drops_the_picture",
                   VideoCodec::vp9,
                   {{{0x88, 0x01, 0xAA}},
                    {{0x84, 0x01, 0xBB}, true, false, true},
                    {{0x8C, 0x02, 0xCC}, true, true}},
                   {{0xCC}}},
        UnpackCase{"vp9_picture_without_its_beginning_is_dropped",
                   VideoCodec::vp9,
                   {{{0x84, 0x01, 0xBB}, true}, {{0x8C, 0x02, 0xCC}, true, true}},
                   {{0xCC}}},
        UnpackCase{"vp9_descriptor_cut_short", VideoCodec::vp9, {{{0x8C, 0x81}, true}}, {}},
        // ---- H.264 ----
        UnpackCase{"h264_single_nal_unit",
                   VideoCodec::h264,
                   {{{0x41, 0xAA, 0xBB}, true}},
                   {cat({kSc, {0x41, 0xAA, 0xBB}})}},
        UnpackCase{
            "h264_stap_a_then_fu_a",
            VideoCodec::h264,
            {{{0x78, 0x00, 0x03, 0x67, 0x42, 0x00, 0x00, 0x02, 0x68, 0xCE}},
             {{0x7C, 0x85, 0x11}},
             {{0x7C, 0x05, 0x22}},
             {{0x7C, 0x45, 0x33}, true}},
            {cat({kSc, {0x67, 0x42, 0x00}, kSc, {0x68, 0xCE}, kSc, {0x65, 0x11, 0x22, 0x33}})}},
        UnpackCase{
            "h264_sps_pps_repeated_before_a_bare_idr",
            VideoCodec::h264,
            {{{0x78, 0x00, 0x03, 0x67, 0x42, 0x00, 0x00, 0x02, 0x68, 0xCE, 0x00, 0x02, 0x65, 0x01},
              true},
             {{0x41, 0x02}, true, true},
             {{0x65, 0x03}, true, true}},
            {cat({kSc, {0x67, 0x42, 0x00}, kSc, {0x68, 0xCE}, kSc, {0x65, 0x01}}),
             cat({kSc, {0x41, 0x02}}),
             cat({kSc, {0x67, 0x42, 0x00}, kSc, {0x68, 0xCE}, kSc, {0x65, 0x03}})}},
        UnpackCase{"h264_fu_a_without_its_start",
                   VideoCodec::h264,
                   {{{0x7C, 0x45, 0x33}, true}, {{0x41, 0x02}, true, true}},
                   {cat({kSc, {0x41, 0x02}})}},
        UnpackCase{"h264_fu_a_lost_middle",
                   VideoCodec::h264,
                   {{{0x7C, 0x85, 0x11}}, {{0x7C, 0x45, 0x33}, true, false, true}},
                   {}},
        UnpackCase{"h264_stap_a_size_beyond_the_packet",
                   VideoCodec::h264,
                   {{{0x78, 0x00, 0x09, 0x67, 0x42}, true}},
                   {}},
        UnpackCase{"h264_fu_b_is_not_read",
                   VideoCodec::h264,
                   {{{0x1D, 0x85, 0x00, 0x01, 0x11}, true}},
                   {}},
        // ---- AV1 ----
        UnpackCase{"av1_one_obu_gets_its_size_and_a_temporal_delimiter",
                   VideoCodec::av1,
                   {{{0x18, 0x08, 0xAA, 0xBB}, true}},
                   {cat({kTd, {0x0A, 0x02, 0xAA, 0xBB}})}},
        UnpackCase{"av1_w2_the_last_element_without_length",
                   VideoCodec::av1,
                   {{{0x20, 0x03, 0x08, 0xAA, 0xBB, 0x30, 0xCC}, true}},
                   {cat({kTd, {0x0A, 0x02, 0xAA, 0xBB, 0x32, 0x01, 0xCC}})}},
        UnpackCase{"av1_w0_every_element_with_length_temporal_delimiter_dropped",
                   VideoCodec::av1,
                   {{{0x00, 0x01, 0x10, 0x02, 0x30, 0xDD}, true}},
                   {cat({kTd, {0x32, 0x01, 0xDD}})}},
        UnpackCase{"av1_obu_across_two_packets",
                   VideoCodec::av1,
                   {{{0x50, 0x30, 0x01, 0x02}}, {{0x90, 0x03}, true}},
                   {cat({kTd, {0x32, 0x03, 0x01, 0x02, 0x03}})}},
        UnpackCase{"av1_continuation_after_a_loss",
                   VideoCodec::av1,
                   {{{0x50, 0x30, 0x01, 0x02}}, {{0x90, 0x03}, true, false, true}},
                   {}},
        UnpackCase{"av1_obu_with_its_size_field_and_an_extension",
                   VideoCodec::av1,
                   {{{0x10, 0x32, 0x01, 0xEE}}, {{0x10, 0x34, 0x28, 0xAB}, true}},
                   {cat({kTd, {0x32, 0x01, 0xEE, 0x36, 0x28, 0x01, 0xAB}})}},
        // The size field's room follows the last fragmented OBU's: 3 bytes need one (the payload
        // moves back), then 200 bytes need two (it moves on again).
        UnpackCase{"av1_fragmented_obus_whose_size_fields_differ",
                   VideoCodec::av1,
                   {{{0x50, 0x30, 0x01, 0x02}},
                    {{0x90, 0x03}, true},
                    {cat({{0x50, 0x30}, Bytes(99, 0x5A)}), false, true},
                    {cat({{0x90}, Bytes(101, 0xA5)}), true}},
                   {cat({kTd, {0x32, 0x03, 0x01, 0x02, 0x03}}),
                    cat({kTd, {0x32, 0xC8, 0x01}, Bytes(99, 0x5A), Bytes(101, 0xA5)})}},
        // An OBU never goes on into another temporal unit: both units are dropped.
        UnpackCase{"av1_obu_cut_by_a_new_timestamp",
                   VideoCodec::av1,
                   {{{0x18, 0x08, 0xAA}},
                    {{0x50, 0x30, 0x01}},
                    {{0x90, 0x02}, true, true},
                    {{0x18, 0x08, 0xBB}, true, true}},
                   {cat({kTd, {0x0A, 0x01, 0xBB}})}},
        UnpackCase{"av1_element_length_beyond_the_packet",
                   VideoCodec::av1,
                   {{{0x00, 0x05, 0x30, 0x01}, true}},
                   {}}));

// ---- Telling the codec from the packets ---------------------------------------------------------

struct DetectCase {
    const char* name;
    std::vector<Bytes> payloads;
    VideoCodec want;
};

void PrintTo(const DetectCase& c, std::ostream* os) {
    *os << c.name;
}

class CodecDetect : public ::testing::TestWithParam<DetectCase> {};

TEST_P(CodecDetect, NamesTheCodecOfTheStream) {
    const DetectCase& c = GetParam();
    CodecDetector d;
    for (const Bytes& p : c.payloads) d.see(p.data(), p.size());
    EXPECT_EQ(codec_name(d.decided() ? d.codec() : d.settle()), codec_name(c.want));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CodecDetect,
    ::testing::Values(
        DetectCase{"vp8_key_frame",
                   {{0x90, 0x80, 0x01, 0x10, 0x02, 0x00, 0x9D, 0x01, 0x2A, 0x40, 0x01, 0xF0, 0x00}},
                   VideoCodec::vp8},
        DetectCase{"vp8_inter_frames_only",
                   {{0x90, 0x80, 0x01, 0x31, 0x02, 0x00}, {0x80, 0x80, 0x01, 0x55}},
                   VideoCodec::vp8},
        DetectCase{"vp9_key_frame",
                   {{0x88, 0x01, 0x82, 0x49, 0x83, 0x42, 0x00, 0x13, 0xF0, 0x0E, 0xF0}},
                   VideoCodec::vp9},
        DetectCase{"vp9_inter_pictures_only",
                   {{0xCC, 0x01, 0x86, 0x00}, {0xC4, 0x02, 0x55}},
                   VideoCodec::vp9},
        DetectCase{"av1_new_sequence", {{0x18, 0x08, 0x00, 0x00, 0x00, 0x04}}, VideoCodec::av1},
        DetectCase{"h264_stap_a_with_sps",
                   {{0x78, 0x00, 0x04, 0x67, 0x42, 0xC0, 0x1E, 0x00, 0x02, 0x68, 0xCE}},
                   VideoCodec::h264},
        DetectCase{"h264_sps_alone", {{0x67, 0x64, 0x00, 0x1F, 0xAC}}, VideoCodec::h264},
        DetectCase{"h265_vps_and_fragmentation_unit",
                   {{0x40, 0x01, 0x0C, 0x01, 0xFF}, {0x62, 0x01, 0x93, 0xAF, 0x11}},
                   VideoCodec::unknown},
        DetectCase{"nothing_seen", {}, VideoCodec::vp8}));

}  // namespace
