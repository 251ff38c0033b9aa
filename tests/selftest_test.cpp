// The timestamp record self-test and its little-endian store helpers.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "audio_support.h"
#include "harness.h"
#include "main.h"

namespace {

using audio_test::Bytes;

TEST(SelfTest, LittleEndianStores) {
    uint8_t b[12];
    memset(b, 0xAA, sizeof(b));
    w_le32(b, 0, 0x13880036);
    w_le64(b, 4, 1);
    EXPECT_EQ(Bytes(b, b + 12), (Bytes{0x36, 0x00, 0x88, 0x13, 0x01, 0, 0, 0, 0, 0, 0, 0}));

    memset(b, 0xAA, sizeof(b));
    w_le64(b, 2, 0x0102030405060708ULL);
    EXPECT_EQ(Bytes(b, b + 12),
              (Bytes{0xAA, 0xAA, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0xAA, 0xAA}));
    w_le32(b, 8, 0xFFFFFFFEu);
    EXPECT_EQ(Bytes(b + 8, b + 12), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
}

TEST(SelfTest, TimestampIsWallClockMilliseconds) {
    // Bounds from the precise wall clock: time() reads a coarse clock that can still show the
    // previous second for a few milliseconds after the precise clock has moved on.
    const auto now_ms = [] {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    };
    const int64_t before = now_ms();
    const int64_t t = getTimeStamp();
    const int64_t after = now_ms();
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
}

TEST(SelfTest, WritesAndReadsBackTheRecord) {
    harness::TempDir dir;
    audio_test::ScopedChdir cd(dir.path());
    audio_test::StreamCapture out(stdout);
    testwrite();
    const std::string text = out.take();

    long long t = 0;
    ASSERT_EQ(sscanf(text.c_str(), "----------------- tm:%lld\n", &t), 1) << text;
    const std::string ts = std::to_string(t);
    EXPECT_EQ(text, "----------------- tm:" + ts + "\nread data :327680054  tm:" + ts +
                        " oldtm:" + ts + "\n");

    Bytes expected = {0x36, 0x00, 0x88, 0x13};
    for (int i = 0; i < 8; ++i)
        expected.push_back(static_cast<uint8_t>(static_cast<uint64_t>(t) >> (8 * i)));
    EXPECT_EQ(audio_test::read_bytes(dir.file("test.v")), expected);
}

TEST(SelfTest, ScratchFileThatCannotBeCreated) {
    audio_test::StreamCapture out(stdout);
    {
        audio_test::ScopedChdir cd("/proc");
        testwrite();
    }
    const std::string text = out.take();
    EXPECT_EQ(text.rfind("error:\n", 0), 0u) << text;
    EXPECT_EQ(text.find("read data"), std::string::npos) << text;
}

}  // namespace
