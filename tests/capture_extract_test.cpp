// capture_extract, the benchmark's helper that takes one user's records out of a work directory:
// it must read the directory exactly as the converter does (file order, dropped tails, the
// Length-0 end) and write byte-exact capture and RFC 4571 output.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string extract_bin() {
#ifdef CAPTURE_EXTRACT_BIN
    return CAPTURE_EXTRACT_BIN;
#else
    return "";
#endif
}

harness::ProcessResult extract(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {extract_bin()};
    argv.insert(argv.end(), args.begin(), args.end());
    return harness::run_process(argv);
}

void put(const harness::TempDir& dir, const std::string& name, const Bytes& bytes) {
    std::string err;
    ASSERT_TRUE(harness::write_file(dir.file(name), bytes, &err)) << err;
}

Bytes get(const std::string& path) {
    Bytes b;
    std::string err;
    EXPECT_TRUE(harness::read_file(path, &b, &err)) << err;
    return b;
}

class CaptureExtract : public ::testing::Test {
protected:
    void SetUp() override {
        if (extract_bin().empty()) GTEST_SKIP() << "capture_extract is not built";
    }
    harness::TempDir work;
    harness::TempDir out;
};

// Three video files whose numeric order (9, 10, 100) differs from their text order; the second
// ends in a record cut short, which is dropped while the third file is still read.
TEST_F(CaptureExtract, VideoFollowsConverterOrderAndDropsCutRecords) {
    put(work, "v_10.video", {0x05, 0,    0, 0, 0x07, 0,    0, 0, 0x80, 0x60, 0x00, 0x02,
                             0xbb, 0x09, 0, 0, 0,    0x07, 0, 0, 0,    0x80, 0x60});
    put(work, "v_9.video",
        {0x04, 0, 0, 0, 0x07, 0, 0, 0, 0x80, 0x60, 0x00, 0x01, 0x01, 0, 0, 0, 0x08, 0, 0, 0, 0xaa});
    put(work, "v_100.video", {0x01, 0, 0, 0, 0x07, 0, 0, 0, 0xcc});

    auto list = extract({"--kind", "video", "--list", work.slash()});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "7 3 10\n8 1 1\n");

    auto r = extract({"--kind", "video", "--user", "7", "--capture", out.file("u_0.video"),
                      "--rfc4571", out.file("u.rtp"), work.slash()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(get(out.file("u.rtp")), (Bytes{0x00, 0x04, 0x80, 0x60, 0x00, 0x01, 0x00, 0x05, 0x80,
                                             0x60, 0x00, 0x02, 0xbb, 0x00, 0x01, 0xcc}));
    EXPECT_EQ(get(out.file("u_0.video")),
              (Bytes{0x04, 0,    0, 0, 0x07, 0,    0, 0, 0x80, 0x60, 0x00, 0x01,
                     0x05, 0,    0, 0, 0x07, 0,    0, 0, 0x80, 0x60, 0x00, 0x02,
                     0xbb, 0x01, 0, 0, 0,    0x07, 0, 0, 0,    0xcc}));
}

// An audio record keeps its uninterpreted leading field; a record of Length 0 ends the stream, so
// nothing after it (in the same or a later file) is extracted.
TEST_F(CaptureExtract, AudioKeepsLeadingFieldAndStopsAtLengthZero) {
    put(work, "a_1.audio", {1,    2, 3, 4, 5, 6, 7, 8, 0x05, 0,    0, 0, 0x02, 0,    0, 0, 0xde,
                            0xad, 9, 9, 9, 9, 9, 9, 9, 9,    0x05, 0, 0, 0,    0x00, 0, 0, 0});
    put(work, "a_2.audio", {0, 0, 0, 0, 0, 0, 0, 0, 0x05, 0, 0, 0, 0x01, 0, 0, 0, 0xee});

    auto list = extract({"--kind", "audio", "--list", work.slash()});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "5 1 2\n");

    auto r = extract({"--kind", "audio", "--user", "5", "--capture", out.file("u_0.audio"),
                      "--rfc4571", out.file("u.rtp"), work.slash()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(get(out.file("u.rtp")), (Bytes{0x00, 0x02, 0xde, 0xad}));
    EXPECT_EQ(get(out.file("u_0.audio")),
              (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 0x05, 0, 0, 0, 0x02, 0, 0, 0, 0xde, 0xad}));
}

// RFC 4571 carries a 16-bit length: 65535 bytes is the largest packet it can frame, and a longer
// one fails the run rather than being written with a wrapped length.
TEST_F(CaptureExtract, Rfc4571LengthLimit) {
    struct Case {
        uint32_t length;
        int status;
    };
    for (const Case& c : {Case{65535, 0}, Case{65536, 1}}) {
        SCOPED_TRACE(c.length);
        Bytes rec = {static_cast<uint8_t>(c.length),
                     static_cast<uint8_t>(c.length >> 8),
                     static_cast<uint8_t>(c.length >> 16),
                     0,
                     0x03,
                     0,
                     0,
                     0};
        rec.resize(8 + c.length, 0x5a);
        put(work, "v_1.video", rec);
        auto r = extract(
            {"--kind", "video", "--user", "3", "--rfc4571", out.file("u.rtp"), work.slash()});
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.status == 0) {
            const Bytes got = get(out.file("u.rtp"));
            ASSERT_EQ(got.size(), 2u + c.length);
            EXPECT_EQ(got[0], 0xff);
            EXPECT_EQ(got[1], 0xff);
        } else {
            EXPECT_NE(r.err.find("RFC 4571"), std::string::npos) << r.err;
        }
    }
}

TEST_F(CaptureExtract, BadArgumentsAreUsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {"--list", work.slash()},                                       // no --kind
        {"--kind", "text", "--list", work.slash()},                     // unknown kind
        {"--kind", "video", work.slash()},                              // nothing to do
        {"--kind", "video", "--capture", out.file("x"), work.slash()},  // no --user
        {"--kind", "video", "--user", "4294967296", "--rfc4571", out.file("x"), work.slash()},
        {"--kind", "video", "--user", "-1", "--rfc4571", out.file("x"), work.slash()},
        {"--kind", "video", "--list", "--bogus", work.slash()},
    };
    for (const auto& args : cases) {
        auto r = extract(args);
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
    }
}

}  // namespace
