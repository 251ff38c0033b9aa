// Per-user counting of the capture records a pass dispatches: packets, bytes, the RTP timestamp
// span and sequence-number steps. Reads the RTP header in place and changes nothing.
#pragma once

#include <cstdint>

#include "run_stats.h"

// Counts one record of `length` bytes (an RTP packet) for its user's stream.
void count_record(StreamStats& stream, const uint8_t* data, uint64_t length);
// Only the timestamp span and sequence steps of one packet; repair mode counts them for media
// packets alone, so that probes, retransmissions and FEC do not stretch the span.
void count_timing(StreamStats& stream, const uint8_t* data, uint64_t length);
// count_timing() of an RTP version 2 packet whose header the caller has read.
inline void count_timing(StreamStats& stream, uint16_t seq, uint32_t timestamp) {
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
