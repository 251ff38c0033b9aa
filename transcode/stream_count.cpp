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
    if (!stream.have_timestamps) {
        stream.have_timestamps = true;
        stream.first_rtp_timestamp = timestamp;
    } else {
        // The step as a signed 16-bit difference, so the wrap from 65535 to 0 is a step of one.
        const int16_t step = static_cast<int16_t>(static_cast<uint16_t>(seq - stream.last_seq));
        if (step > 1) ++stream.seq_gaps;
        if (step <= 0) ++stream.seq_repeats;
    }
    stream.last_seq = seq;
    stream.last_rtp_timestamp = timestamp;
}
