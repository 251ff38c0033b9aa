// The in-memory byte sink and the little-endian writers that compose IVF headers and records.
#include "stream_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "user_video.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Sink {
    stream_output_data data;
    BufferIOWriter writer;
    Sink() { stream_output_init(&writer, &data); }
};

TEST(StreamBuffer, IntegerWritersAreLittleEndian) {
    Sink s;
    put_w8(&s.writer, 0xAB);
    put_wl16(&s.writer, 0x1234);
    put_wl32(&s.writer, 0x12345678);
    put_wl64(&s.writer, 0x0102030405060708ull);
    put_wl64(&s.writer, ~uint64_t{0});
    const Bytes golden = {0xAB,                                            // w8
                          0x34, 0x12,                                      // wl16
                          0x78, 0x56, 0x34, 0x12,                          // wl32
                          0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // wl64
                          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(s.data.content, golden);
    EXPECT_EQ(s.writer.get_pos(s.writer.sink), golden.size());
}

TEST(StreamBuffer, AllWriteRefusesWithoutWriting) {
    const uint8_t byte = 7;
    Sink s;
    put_w8(&s.writer, 1);
    EXPECT_EQ(all_write(&s.writer, &byte, 0), 0);
    EXPECT_EQ(all_write(&s.writer, nullptr, 4), 0);
    EXPECT_EQ(all_write(nullptr, &byte, 1), 0);
    EXPECT_EQ(s.data.content, Bytes{1});

    BufferIOWriter zeroed = {};
    EXPECT_EQ(all_write(&zeroed, &byte, 1), 0);
    put_wl32(&zeroed, 0x12345678);  // must not crash either
}

TEST(StreamBuffer, ShortAndLongWritesAppendTheirBytesInOrder) {
    // 10 bytes go one by one, 11 as a range: the content must not tell the two apart.
    for (size_t n : {size_t{1}, size_t{10}, size_t{11}, size_t{300}}) {
        Bytes in(n);
        for (size_t i = 0; i < n; ++i) in[i] = static_cast<uint8_t>(i * 7 + 1);
        Sink s;
        put_w8(&s.writer, 0xEE);
        EXPECT_EQ(all_write(&s.writer, in.data(), n), static_cast<int64_t>(n));
        Bytes expected = {0xEE};
        expected.insert(expected.end(), in.begin(), in.end());
        EXPECT_EQ(s.data.content, expected) << n << " bytes";
        EXPECT_EQ(s.writer.get_pos(s.writer.sink), n + 1);
    }
}

TEST(StreamBuffer, InitEmptiesABufferThatHoldsBytes) {
    Sink s;
    put_wl64(&s.writer, 42);
    BufferIOWriter again;
    stream_output_init(&again, &s.data);
    EXPECT_TRUE(s.data.content.empty());
    EXPECT_EQ(again.get_pos(again.sink), 0u);
    put_wl16(&again, 0xBEEF);
    EXPECT_EQ(s.data.content, (Bytes{0xEF, 0xBE}));
}

}  // namespace
