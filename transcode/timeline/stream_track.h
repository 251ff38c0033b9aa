// What the recording clock keeps of one user's stream of one kind while a pass reads it: a summary
// of constant size (three line fits, the first and last written ticks, a few stall points), never
// every record's time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "clock_fit.h"

// A capture file as the pass reads it: its place in the order and the time value of its name.
struct ClockFile {
    int64_t index = -1;
    bool timed = false;
    int64_t time_us = 0;
};

class StreamTrack {
public:
    // Arrival times and RTP time that part by more than this are a stall or a jump, not jitter.
    static constexpr int64_t kStallUs = 500000;
    // The RTP steps across which a stall is looked for: a packet's length and a little more; a
    // longer step is a pause the RTP clock itself counted (silence, loss).
    static constexpr int64_t kStallStepUs = 200000;
    // A stall is told from a network's delay (a freeze, then a burst that catches up) by the
    // arrivals that follow it for this long: after a stall they stay apart from RTP time.
    static constexpr int64_t kConfirmUs = 200000;
    // A step back, or on by more than this, is a sender that restarted with a new base.
    static constexpr int64_t kRestartUs = 300000000;
    // Fits shorter than this keep the nominal rate: a minute of jitter says nothing of ppm.
    static constexpr int64_t kMinDriftSpanUs = 60000000;
    // Stall points kept to correct written ticks and to hand to the audio writer.
    static constexpr size_t kMaxStalls = 256;

    explicit StreamTrack(int64_t rate);

    // One record of the stream, in capture order: its RTP timestamp, the file it lies in, whether
    // it is the file's first record and, for audio, the leading field's time when it behaves like
    // a clock (`lead_ok`).
    void record(uint32_t rtp, const ClockFile& file, bool opens_file, bool lead_ok,
                int64_t lead_us);
    // A leading-field clock that turned out not to be one for the file just read: its readings
    // are dropped. `commit_file` keeps them.
    void commit_file(bool lead_kept);
    // A frame or packet written to the output, by its RTP timestamp.
    void written(uint32_t rtp);
    // For the audio writer: the ticks of recording time the RTP clock skipped (or, negative, ran
    // ahead) right before the packet of timestamp `rtp`; 0 when none.
    int64_t stall_before(uint32_t rtp);

    int64_t rate() const { return rate_; }
    double nominal_us_per_tick() const { return 1e6 / static_cast<double>(rate_); }
    int64_t min_drift_span() const { return kMinDriftSpanUs * rate_ / 1000000; }
    bool any_written() const { return have_written_; }
    int64_t first_written() const { return first_written_; }  // corrected ticks
    int64_t last_written() const { return last_written_; }
    uint32_t first_written_rtp() const { return first_written_rtp_; }
    uint32_t last_written_rtp() const { return last_written_rtp_; }
    int64_t first_tick() const { return first_x_; }
    int64_t last_tick() const { return raw_ + corr_; }  // of the last record
    int64_t first_file() const { return first_file_; }
    uint64_t stalls() const { return stall_count_; }
    // Corrected ticks of a timestamp near the last record: unwrapped against it, plus the stall
    // corrections up to there.
    int64_t tick_of(uint32_t rtp) const;

    const ClockFit& lead_fit() const { return lead_; }
    const ClockFit& anchor_fit() const { return anchors_; }

private:
    struct Stall {
        int64_t raw = 0;  // raw ticks of the first record after it
        int64_t ticks = 0;
        uint32_t rtp = 0;
        bool for_writer = false;
    };
    void add_stall(int64_t raw, uint32_t rtp, int64_t ticks, bool for_writer);
    int64_t correction_at(int64_t raw) const;

    const int64_t rate_;
    bool have_ = false;
    uint32_t last_rtp_ = 0;
    int64_t raw_ = 0;   // unwrapped ticks of the last record, restarts joined
    int64_t corr_ = 0;  // stall corrections so far
    int64_t first_x_ = 0;
    int64_t first_file_ = -1;
    // The file of the last record, and where in it the stream was.
    int64_t file_ = -1;
    int64_t file_x_ = 0;
    // Leading field: the previous reading, the readings of the current file and those kept.
    bool have_lead_ = false;
    int64_t lead_prev_us_ = 0;
    int64_t lead_prev_raw_ = 0;
    ClockFit lead_file_;
    // A stall seen and not yet told from a delay: where it began and how far apart it set them.
    bool pending_ = false;
    bool have_floor_ = false;  // the least delayed arrival lately, against media time
    double floor_ = 0;
    int64_t floor_at_us_ = 0;
    double pending_apart_ = 0;
    double pending_base_ = 0;
    int64_t pending_since_us_ = 0;
    ClockFit lead_;
    // File boundaries the stream ran across: (ticks, file time).
    ClockFit anchors_;
    bool have_anchor_ = false;
    int64_t anchor_x_ = 0;
    int64_t anchor_us_ = 0;
    bool have_written_ = false;
    int64_t first_written_ = 0;
    int64_t last_written_ = 0;
    uint32_t first_written_rtp_ = 0;
    uint32_t last_written_rtp_ = 0;
    std::deque<Stall> stalls_;
    uint64_t stall_count_ = 0;
    size_t writer_next_ = 0;  // the first stall not yet handed to the writer
};
