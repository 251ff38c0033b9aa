#include "audio_timeline.h"

#include <algorithm>

namespace {

// TOC configurations of CELT-only fullband frames of 2.5, 5, 10 and 20 ms (RFC 6716, 3.1).
constexpr int kCeltConfigFirst = 28;
constexpr int64_t kFrameSizes[] = {960, 480, 240, 120};  // largest first
constexpr int64_t kMaxPacketSamples = 5760;              // 120 ms, the longest Opus packet
constexpr uint8_t kCodeOne = 0;
constexpr uint8_t kCodeArbitrary = 3;

uint8_t toc(int64_t frame_samples, uint8_t stereo, uint8_t code) {
    int config = kCeltConfigFirst;
    for (int64_t size = AudioTimeline::kFrameSamples; size < frame_samples; size *= 2) ++config;
    return static_cast<uint8_t>((config << 3) | stereo | code);
}

}  // namespace

void AudioTimeline::before(uint32_t timestamp, uint32_t ssrc, uint8_t toc_byte, int samples) {
    pending_ = 0;
    stereo_ = toc_byte & 0x04;
    covered_samples_ += samples <= 0                  ? 0
                        : samples < kMaxCreditSamples ? samples
                                                      : kMaxCreditSamples;
    const int64_t shift = shift_;
    shift_ = 0;
    if (started_) {
        int64_t gap = static_cast<int32_t>(timestamp - end_);
        // Where the recording clock says the RTP clock stood still or ran ahead, the time that
        // passed is what the gap covers.
        if (shift != 0 && ssrc == ssrc_) gap = std::max<int64_t>(gap + shift, 0);
        const int64_t total = gap + carry_;
        const int64_t fill = total / kFrameSamples * kFrameSamples;
        // What the fillers may still cover; timestamps alone cannot make the file grow beyond it.
        const int64_t budget = kFillMultiple * covered_samples_ + kMaxGapSamples - filled_samples_;
        if (ssrc != ssrc_ || gap < 0 || gap > kMaxGapSamples || fill > budget) {
            // A step back, another source, a restart, or more silence than the packets can
            // account for: the new timeline starts here.
            if (stats_) ++stats_->gaps_not_filled;
            carry_ = 0;
        } else if (gap > 0) {
            pending_ = fill;
            carry_ = total - pending_;
            filled_samples_ += pending_;
            if (pending_ > 0 && stats_) {
                ++stats_->gaps_filled;
                stats_->gap_ms = static_cast<uint64_t>(filled_samples_ / 48);
            }
        }
    }
    started_ = true;
    ssrc_ = ssrc;
    end_ = timestamp + static_cast<uint32_t>(samples > 0 ? samples : 0);
}

bool AudioTimeline::next(FillerPacket* out) {
    return take_filler(&pending_, stereo_, out);
}

bool AudioTimeline::take_filler(int64_t* pending, uint8_t stereo, FillerPacket* out) {
    if (*pending <= 0) return false;
    int64_t frame = kFrameSizes[0];
    int64_t count = kMaxPacketSamples / frame;
    if (*pending < kMaxPacketSamples) {
        // The largest frame size that divides what is left, so one packet covers it exactly.
        for (int64_t size : kFrameSizes) {
            if (*pending % size == 0) {
                frame = size;
                break;
            }
        }
        count = *pending / frame;
    }
    if (count == 1) {
        out->bytes[0] = toc(frame, stereo, kCodeOne);
        out->size = 1;
    } else {
        out->bytes[0] = toc(frame, stereo, kCodeArbitrary);
        out->bytes[1] = static_cast<uint8_t>(count);  // CBR, no padding, `count` empty frames
        out->size = 2;
    }
    out->samples = static_cast<int>(frame * count);
    *pending -= out->samples;
    return true;
}
