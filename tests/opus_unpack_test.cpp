#include "opus_unpack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio_support.h"
#include "harness.h"
#include "user_audio.h"

using audio_test::Bytes;
using audio_test::OggPage;

namespace {

std::vector<uint8_t> read_all(const std::string& path) {
    std::vector<uint8_t> bytes;
    harness::read_file(path, &bytes, nullptr);
    return bytes;
}

const Bytes kOpusHead = {0x4F, 0x70, 0x75, 0x73, 0x48, 0x65, 0x61, 0x64, 0x01, 0x02,
                         0x00, 0x00, 0x80, 0xBB, 0x00, 0x00, 0x00, 0x00, 0x00};

class OpusUnpackTest : public ::testing::Test {
protected:
    harness::TempDir dir_;
    audio_test::ScopedChdir cd_{dir_.path()};
};

TEST(OpusUnpackGuards, MissingStreamOrOutputWritesNothing) {
    EXPECT_EQ(ogg_write(nullptr), -1);
    EXPECT_EQ(ogg_flush(nullptr), -1);

    opus_context no_stream{nullptr, stdout, nullptr, 0};
    EXPECT_EQ(ogg_write(&no_stream), -1);
    EXPECT_EQ(ogg_flush(&no_stream), -1);

    ogg_stream_state stream;
    ASSERT_EQ(ogg_stream_init(&stream, 1), 0);
    ogg_packet* head = op_opushead();
    ogg_stream_packetin(&stream, head);
    op_free(head);
    opus_context no_out{&stream, nullptr, nullptr, 0};
    EXPECT_EQ(ogg_write(&no_out), -1);
    EXPECT_EQ(ogg_flush(&no_out), -1);
    ogg_stream_clear(&stream);

    EXPECT_EQ(loop_opus2ogg(nullptr, 0, nullptr, 0), 1);
}

TEST(OpusUnpackGuards, HeaderBuildersAndByteWriters) {
    ogg_packet* head = op_opushead();
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(Bytes(head->packet, head->packet + head->bytes), kOpusHead);
    EXPECT_EQ(head->b_o_s, 1);
    EXPECT_EQ(head->e_o_s, 0);
    EXPECT_EQ(head->granulepos, 0);
    EXPECT_EQ(head->packetno, 0);
    op_free(head);

    unsigned char b[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    le16(b, 0x12345678);  // only the low 16 bits
    le32(b + 2, -2);
    EXPECT_EQ(Bytes(b, b + 6), (Bytes{0x78, 0x56, 0xFE, 0xFF, 0xFF, 0xFF}));
}

TEST_F(OpusUnpackTest, EmptyConversionWritesTheTwoHeaderPages) {
    harness::write_file(dir_.file("in.audio"), {}, nullptr);
    opus_context ctx;
    audio_test::StreamCapture out(stdout);
    ASSERT_EQ(initOpus2Ogg(&ctx, "o.ogg", "in.audio"), 0);
    EXPECT_EQ(ctx.granule, 0);
    destory_opus2ogg(&ctx);
    EXPECT_EQ(out.take(), "initOpus2Ogg===========\nogg_flush 19\nogg_flush 36\n");

    const std::vector<OggPage> pages = audio_test::read_ogg_pages(dir_.file("o.ogg"));
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].body, kOpusHead);
    EXPECT_EQ(pages[0].flags, 0x02);
    EXPECT_EQ(pages[0].sequence, 0u);
    EXPECT_EQ(pages[1].body.size(), 36u);
    EXPECT_EQ(Bytes(pages[1].body.begin() + 12, pages[1].body.begin() + 32),
              Bytes(std::begin("opus rtp packet dump"), std::end("opus rtp packet dump") - 1));
    EXPECT_EQ(pages[1].flags, 0x00);
    EXPECT_EQ(pages[1].sequence, 1u);
    for (const OggPage& p : pages) {
        EXPECT_EQ(p.granule, 0);
        EXPECT_EQ(p.crc, audio_test::recomputed_crc(p));
    }
}

TEST_F(OpusUnpackTest, FilesThatCannotBeOpenedAreReported) {
    harness::write_file(dir_.file("in.audio"), {}, nullptr);
    struct Case {
        const char* name;
        const char* output;
        const char* input;
        bool output_left;
    };
    const std::vector<Case> cases = {
        {"missing input", "o1.ogg", "missing.audio", true},
        {"output in a missing directory", "nowhere/o2.ogg", "in.audio", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        opus_context ctx;
        audio_test::StreamCapture err(stderr);
        EXPECT_EQ(initOpus2Ogg(&ctx, c.output, c.input), -2);
        EXPECT_EQ(err.take(), "Couldn't open output file.\n");
        EXPECT_EQ(ctx.out, nullptr);  // nothing is left open behind the abandoned context
        EXPECT_EQ(ctx.in, nullptr);
        const std::vector<std::string> names = harness::list_names(dir_.path());
        const bool exists =
            std::find(names.begin(), names.end(), std::string(c.output)) != names.end();
        EXPECT_EQ(exists, c.output_left);
        if (exists) {
            EXPECT_TRUE(read_all(dir_.file(c.output)).empty());
        }
    }
}

// Both roads from RTP to Ogg take the same packets and count the same samples.
TEST_F(OpusUnpackTest, WritesTheSamePacketsAsThePerUserWriter) {
    const std::vector<Bytes> opus = audio_test::encode_tone(80, 20);
    std::vector<Bytes> records;
    for (size_t i = 0; i < opus.size(); ++i) {
        const audio_test::RtpShape shape{static_cast<int>(i % 3), i % 5 == 0 ? 1 : -1,
                                         i % 7 == 0 ? 4 : 0};
        records.push_back(audio_test::make_rtp(static_cast<uint16_t>(i), opus[i], shape));
        if (i % 10 == 0) records.push_back(audio_test::make_rtp(1, {}));      // skipped by both
        if (i % 10 == 5) records.push_back(audio_test::make_rtp(2, {0xFA}));  // libopus refuses
    }

    opus_context ctx;
    harness::write_file(dir_.file("in.audio"), {}, nullptr);
    audio_test::StreamCapture out(stdout);
    ASSERT_EQ(initOpus2Ogg(&ctx, "single.ogg", "in.audio"), 0);
    for (const Bytes& r : records)
        EXPECT_EQ(loop_opus2ogg(r.data(), static_cast<int>(r.size()), &ctx, 3), 1);
    EXPECT_EQ(ctx.granule, 80 * 960);
    destory_opus2ogg(&ctx);
    out.take();

    std::string name;
    {
        muopus::user_audio ua(3);
        name = ua.name;
        for (const Bytes& r : records) {
            std::unique_ptr<uint8_t[]> data(new uint8_t[r.size()]);
            memcpy(data.get(), r.data(), r.size());
            ua.put_rtp_data(std::move(data), r.size());
        }
        ua.flush_all();
    }

    const std::vector<OggPage> a = audio_test::read_ogg_pages(dir_.file("single.ogg"));
    const std::vector<OggPage> b = audio_test::read_ogg_pages(dir_.file(name));
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(a[i].body, b[i].body);
        EXPECT_EQ(a[i].granule, b[i].granule);
        EXPECT_EQ(a[i].flags, b[i].flags);
    }
    EXPECT_EQ(a.back().granule, 80 * 960);
}

TEST_F(OpusUnpackTest, ShortWritesAreReportedOnStandardError) {
    harness::write_file(dir_.file("in.audio"), {}, nullptr);
    opus_context ctx;
    audio_test::StreamCapture out(stdout);
    audio_test::StreamCapture err(stderr);
    ASSERT_EQ(initOpus2Ogg(&ctx, "o.ogg", "in.audio"), 0);
    // From here on every byte is refused.
    fclose(ctx.out);
    ctx.out = fopen("/dev/full", "wb");
    ASSERT_NE(ctx.out, nullptr);
    setvbuf(ctx.out, nullptr, _IONBF, 0);
    const Bytes r = audio_test::make_rtp(1, audio_test::encode_tone(1, 20)[0]);
    loop_opus2ogg(r.data(), static_cast<int>(r.size()), &ctx, 0);
    EXPECT_EQ(ogg_flush(&ctx), -2);
    destory_opus2ogg(&ctx);
    const std::string out_text = out.take();
    // The failed page is lost, so the final flush has nothing left to write.
    EXPECT_EQ(err.take(), "Error writing Ogg page header\n");
    // The failed page printed no progress line.
    EXPECT_EQ(out_text, "initOpus2Ogg===========\nogg_flush 19\nogg_flush 36\n");
}

}  // namespace
