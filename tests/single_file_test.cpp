// The single-file converter driven end to end on a synthesized capture file.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "audio_support.h"
#include "harness.h"
#include "main.h"

using audio_test::Bytes;
using audio_test::OggPage;

namespace {

constexpr char kInput[] = "a_1650598869249.audio";
constexpr char kOutput[] = "out1.ogg";

void put_le32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// One capture record: 8 bytes the reader skips, the user id, the length, the RTP data.
void append_record(Bytes& file, uint32_t uid, const Bytes& rtp, uint32_t length) {
    file.insert(file.end(), {1, 2, 3, 4, 5, 6, 7, 8});
    put_le32(file, uid);
    put_le32(file, length);
    file.insert(file.end(), rtp.begin(), rtp.end());
}
void append_record(Bytes& file, uint32_t uid, const Bytes& rtp) {
    append_record(file, uid, rtp, static_cast<uint32_t>(rtp.size()));
}

class SingleFileTest : public ::testing::Test {
protected:
    void write_input(const Bytes& b) { harness::write_file(dir_.file(kInput), b, nullptr); }

    struct Run {
        std::string out;
        std::string err;
    };
    Run convert() {
        audio_test::StreamCapture out(stdout);
        audio_test::StreamCapture err(stderr);
        tran_opus_ogg();
        Run r;
        r.err = err.take();
        r.out = out.take();
        return r;
    }

    // The progress lines that the pages of `pages` should have printed: the header pages and the
    // final page through ogg_flush, the others through ogg_write.
    static std::string expected_progress(const std::vector<OggPage>& pages) {
        std::string s = "initOpus2Ogg===========\n";
        for (size_t i = 0; i < pages.size(); ++i) {
            const bool flushed = i < 2 || i + 1 == pages.size();
            s += (flushed ? "ogg_flush " : "ogg_write---> ") +
                 std::to_string(pages[i].body.size()) + "\n";
        }
        return s;
    }

    harness::TempDir dir_;
    audio_test::ScopedChdir cd_{dir_.path()};
};

TEST_F(SingleFileTest, ConvertsEveryRecordIntoOneStream) {
    const std::vector<Bytes> opus = audio_test::encode_tone(101, 20);
    Bytes input;
    // Two users interleaved: the converter keeps one stream in file order.
    for (size_t i = 0; i < opus.size(); ++i)
        append_record(input, i % 2 ? 7 : 9,
                      audio_test::make_rtp(static_cast<uint16_t>(i), opus[i]));
    write_input(input);

    const Run run = convert();
    EXPECT_EQ(run.err, "");
    const std::vector<OggPage> pages = audio_test::read_ogg_pages(dir_.file(kOutput));
    ASSERT_GT(pages.size(), 4u);
    EXPECT_EQ(run.out, expected_progress(pages));
    EXPECT_EQ(run.out.rfind("initOpus2Ogg===========\nogg_flush 19\nogg_flush 36\n", 0), 0u);

    std::vector<Bytes> packets;
    for (size_t i = 2; i < pages.size(); ++i)
        packets.insert(packets.end(), pages[i].packets.begin(), pages[i].packets.end());
    EXPECT_EQ(packets, opus);

    const audio_test::DecodeResult r = audio_test::decode_with_opusfile(dir_.file(kOutput));
    EXPECT_EQ(r.open_error, 0);
    EXPECT_EQ(r.read_error, 0);
    EXPECT_EQ(r.pcm_total, 101 * 960);
    EXPECT_EQ(r.decoded, 101 * 960);
}

TEST_F(SingleFileTest, EmptyInputGivesTheTwoHeaderPages) {
    write_input({});
    const Run run = convert();
    EXPECT_EQ(run.out, "initOpus2Ogg===========\nogg_flush 19\nogg_flush 36\n");
    const std::vector<OggPage> pages = audio_test::read_ogg_pages(dir_.file(kOutput));
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].body.size(), 19u);
    EXPECT_EQ(pages[1].body.size(), 36u);
}

TEST_F(SingleFileTest, MissingInputLeavesAnEmptyOutput) {
    const Run run = convert();
    EXPECT_EQ(run.err, "Couldn't open output file.\n");
    EXPECT_EQ(run.out, "");
    const std::vector<std::string> names = harness::list_names(dir_.path());
    ASSERT_EQ(names, std::vector<std::string>{kOutput});
    std::vector<uint8_t> out;
    ASSERT_TRUE(harness::read_file(dir_.file(kOutput), &out, nullptr));
    EXPECT_TRUE(out.empty());
}

TEST_F(SingleFileTest, OversizedRecordIsSkippedAndTheRestConverted) {
    const std::vector<Bytes> opus = audio_test::encode_tone(3, 20);
    Bytes input;
    append_record(input, 1, audio_test::make_rtp(0, opus[0]));
    append_record(input, 1, Bytes(0x200001, 0x5A));
    append_record(input, 1, audio_test::make_rtp(1, opus[1]));
    append_record(input, 1, audio_test::make_rtp(2, opus[2]));
    // A last record cut short is dropped.
    const Bytes cut = audio_test::make_rtp(3, opus[0]);
    append_record(input, 1, Bytes(cut.begin(), cut.begin() + 10),
                  static_cast<uint32_t>(cut.size()));
    write_input(input);

    const Run run = convert();
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    const std::vector<OggPage> pages = audio_test::read_ogg_pages(dir_.file(kOutput));
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[2].packets, opus);
    EXPECT_EQ(pages[2].granule, 3 * 960);
    EXPECT_EQ(run.out, expected_progress(pages));
}

}  // namespace
