// The mix of every voice: libavfilter's amix sums the users' stereo samples (no normalisation,
// so a voice keeps its level whoever else speaks), and alimiter, a look-ahead limiter with its
// delay compensated, keeps the sum under kMixCeiling, 3 dB below full scale: headroom enough that
// the Opus encoder's own overshoot stays under 0 dBFS.
#pragma once

#include <memory>
#include <vector>

#include "libav_loader.h"

constexpr double kMixCeiling = 0.7071;  // -3 dBFS

class Mixer {
public:
    static constexpr int kChannels = 2;
    static constexpr int kRate = 48000;

    // `inputs` voices; the mix comes out in frames of `frame_samples` samples per channel (what
    // the encoder takes). False when the filter graph cannot be built.
    bool open(int inputs, int frame_samples);
    // One block of `samples` interleaved stereo samples of every input (`voices[i]`), all of the
    // same length and in order.
    bool add(const std::vector<const float*>& voices, int samples);
    // No more input: what the limiter still holds comes out.
    bool finish();
    // The next mixed frame (interleaved float stereo, its `nb_samples` per channel), or null
    // when none is ready. The frame stays the mixer's until the next call.
    AVFrame* next();

private:
    std::unique_ptr<AVFilterGraph, GraphDeleter> graph_;
    std::vector<AVFilterContext*> sources_;
    AVFilterContext* sink_ = nullptr;
    std::unique_ptr<AVFrame, FrameDeleter> in_;
    std::unique_ptr<AVFrame, FrameDeleter> out_;
    int64_t pts_ = 0;
};
