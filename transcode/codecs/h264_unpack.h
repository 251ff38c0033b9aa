// H.264 RTP depacketizer (RFC 6184, packetization modes 0 and 1): single NAL unit packets, STAP-A
// and FU-A become one Annex B access unit per picture (start code 00 00 00 01 before every NAL
// unit). The last SPS and PPS seen are kept and written again before an IDR picture that came
// without them, so that a file cut at any IDR starts decodable.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rtp_payload.h"

const rtp_unpacker_t* rtp_h264_decode();

// True for an Annex B access unit that holds an IDR slice, an SPS and a PPS.
bool h264_key_frame(const uint8_t* frame, size_t size);
// The picture size the first SPS of an Annex B access unit gives (cropping applied).
bool h264_frame_size(const uint8_t* frame, size_t size, int* width, int* height);
// Calls `f(nal, size)` for each NAL unit of an Annex B buffer.
template <typename F>
void h264_each_nal(const uint8_t* p, size_t n, F f) {
    size_t i = 0, start = SIZE_MAX;
    while (i + 3 <= n) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            if (start != SIZE_MAX) {
                size_t end = i;
                while (end > start && p[end - 1] == 0) --end;
                f(p + start, end - start);
            }
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    if (start != SIZE_MAX && start < n) f(p + start, n - start);
}
