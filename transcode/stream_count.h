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
