#include "stream_count.h"

namespace {

constexpr uint64_t kRtpFixedHeader = 12;

}  // namespace

void count_record(StreamStats& stream, const uint8_t* data, uint64_t length) {
    ++stream.packets;
    stream.bytes += length;
    count_timing(stream, data, length);
}

void count_timing(StreamStats& stream, const uint8_t* data, uint64_t length) {
    // Only an RTP version 2 header has a sequence number and a timestamp worth following.
    if (data == nullptr || length < kRtpFixedHeader || (data[0] >> 6) != 2) return;
    const uint16_t seq = static_cast<uint16_t>((data[2] << 8) | data[3]);
    const uint32_t timestamp = (static_cast<uint32_t>(data[4]) << 24) |
                               (static_cast<uint32_t>(data[5]) << 16) |
                               (static_cast<uint32_t>(data[6]) << 8) | data[7];
    count_timing(stream, seq, timestamp);
}
