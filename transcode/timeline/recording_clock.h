// The recording clock: places every user's streams on one clock (microseconds since 1970) from
// what the capture holds. In order of trust: the senders' RTCP sender reports (the sender-report
// file of the work directory), the audio record's leading field where it behaves like a clock,
// and the time values in the capture files' names with the records' order and the RTP clocks.
//
// It watches the passes (each file begun, each record read, each frame or packet written) and
// keeps a summary per stream; after both passes `settle` fits each stream and fills the
// `clock` of its StreamStats and the recording's span in run_stats(). Nothing it does changes
// what the passes write, except what the audio writer asks of it in repair mode
// (`stall_before`).
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sender_reports.h"
#include "stream_track.h"

// Where one stream lies: tick x of its media (RTP ticks, stall-corrected, counted from the
// stream's first record) is at `start_us + (x - first_tick) * us_per_tick` on the recording clock.
struct StreamPlace {
    const char* source = "none";
    bool placed = false;
    int64_t first_tick = 0;
    double start_us = 0;  // of the first frame or packet written
    double end_us = 0;    // of the last one
    double us_per_tick = 0;
    double drift_ppm = 0;
};

class RecordingClock {
public:
    RecordingClock();
    ~RecordingClock();

    // Reads `<work path>sender_reports.txt` when there is one.
    void load_sender_reports(const std::string& work_path, FILE* messages);
    // Sender reports given directly (tests).
    void set_sender_reports(std::vector<SenderReport> reports);

    // The capture files of a kind in the pass's order, before the pass: their time values.
    void set_files(bool video, const std::vector<std::string>& paths);
    // One record as read from file `file_index` of the list; `lead` is the audio record's 8-byte
    // leading field (null for video).
    void record(bool video, uint32_t uid, const uint8_t* packet, size_t length, uint32_t file_index,
                const uint8_t* lead);
    // A frame or packet went into the user's output, by its RTP timestamp.
    void written(bool video, uint32_t uid, uint32_t rtp);
    // The pass of this kind is over.
    void pass_end(bool video);
    // Audio writer, repair mode: ticks the recording clock says the RTP clock skipped right before
    // this packet (positive: time passed the RTP clock did not count; negative: it ran ahead).
    int64_t stall_before(uint32_t uid, uint32_t rtp);

    // After both passes: fits every stream, fills run_stats() and, when no stream could be
    // placed and `say_so`, says once on `messages` that each stream keeps its own start.
    void settle(bool say_so, FILE* messages);
    // A settled stream's place (placed false when it has none).
    StreamPlace place(bool video, uint32_t uid) const;

    void reset();

private:
    struct Kind;
    struct SrStream;
    Kind& kind(bool video);
    const Kind& kind(bool video) const;
    bool place_by_reports(bool video, uint32_t uid, const StreamTrack& track,
                          StreamPlace* out) const;

    std::unique_ptr<Kind> kinds_[2];
    std::map<uint64_t, SrStream> reports_;          // by user id, kind and SSRC
    std::map<uint32_t, int64_t> sender_offset_us_;  // by user: recorder time minus sender NTP
    std::map<uint64_t, StreamPlace> places_;        // settled, by kind and user id
};

RecordingClock& recording_clock();
