// Keeps one user's Ogg Opus granule positions on the RTP timeline: where the RTP timestamp moves
// on by more than the previous packet lasted (loss, silence suppression, a muted microphone), it
// hands out Opus packets without coded data to cover the gap, which decoders conceal.
#pragma once

#include <cstdint>

#include "run_stats.h"

// One Opus packet of a TOC byte (code 0, one frame) or a TOC byte and a frame count (code 3, CBR,
// up to 120 ms); every frame in it is empty.
struct FillerPacket {
    uint8_t bytes[2] = {};
    int size = 0;
    int samples = 0;  // at 48 kHz
};

class AudioTimeline {
public:
    // The smallest Opus frame, 2.5 ms: gaps are covered in whole frames of it, and what is left
    // over is carried to the next gap, so the granule stays within one such frame of the RTP time.
    static constexpr int64_t kFrameSamples = 120;
    // A forward jump longer than this is taken for a sender restart with a new timestamp base, not
    // a pause, and is left alone: five minutes (see the README).
    static constexpr int64_t kMaxGapSamples = int64_t{48000} * 300;
    // All gaps filled together may last at most this many times what the packets themselves
    // cover, plus one kMaxGapSamples: a gap that would go beyond is left alone like a restart.
    // Opus DTX sends one 20 ms packet per 400 ms of silence (19 times as much gap as packet); 24
    // leaves room for the loss of some of them.
    static constexpr int64_t kFillMultiple = 24;
    // Each packet counts for at most this much of the time covered: one byte can claim up to
    // 120 ms, and the fillers (and a WebM made from the file) would then outgrow the capture.
    static constexpr int64_t kMaxCreditSamples = 960;

    explicit AudioTimeline(RepairStats* stats) : stats_(stats) {}

    // Called for each packet about to be written, with its RTP timestamp and SSRC, its first
    // (TOC) byte and its samples; then next() until false gives the packets to write before it.
    void before(uint32_t timestamp, uint32_t ssrc, uint8_t toc, int samples);
    // The recording clock's word on the next packet: its RTP clock skipped `samples` of time that
    // passed (a stall: more to fill) or, negative, counted time that did not pass (a jump).
    void clock_shift(int64_t samples) { shift_ = samples; }
    bool next(FillerPacket* out);
    // Takes the next packet of fillers that cover `*pending` samples (a multiple of kFrameSamples)
    // off it; false when nothing is pending. `stereo` is the TOC's stereo bit to give them.
    static bool take_filler(int64_t* pending, uint8_t stereo, FillerPacket* out);

private:
    RepairStats* const stats_;
    bool started_ = false;
    uint32_t ssrc_ = 0;
    uint32_t end_ = 0;     // RTP timestamp where the previous packet ended
    int64_t carry_ = 0;    // samples of gaps not covered yet (under one 2.5 ms frame)
    int64_t pending_ = 0;  // samples still to hand out before the current packet
    int64_t filled_samples_ = 0;
    int64_t covered_samples_ = 0;  // by the packets themselves
    uint8_t stereo_ = 0;  // the TOC's stereo bit, taken from the packet the filler precedes
    int64_t shift_ = 0;   // from clock_shift, for the next packet only
};
