// What a run found and did, kept for the run report and the WebM mux: run-wide totals and one
// record per user and kind. The passes and writers fill it; nothing in it changes what is written.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Counters of the repair stage for one user's stream (all zero without --repair).
struct RepairStats {
    uint64_t reordered = 0;        // packets released in an order other than their arrival
    uint64_t duplicates = 0;       // repeated sequence numbers dropped
    uint64_t late = 0;             // packets older than the last one released, dropped
    uint64_t resets = 0;           // sender restarts or SSRC changes that restarted the ordering
    uint64_t gaps_filled = 0;      // audio: timeline gaps covered with empty Opus packets
    uint64_t gap_ms = 0;           // audio: the milliseconds those gaps covered
    uint64_t gaps_not_filled = 0;  // audio: backwards or over-long timestamp jumps left alone
    uint64_t frames_lost = 0;      // video: frames that lost a packet
    uint64_t frames_skipped_keyframe = 0;  // video: frames held back until a key frame
    uint64_t fec_recovered = 0;            // video: lost packets rebuilt from FEC packets
    uint64_t fec_unrecoverable = 0;        // video: rebuilt packets dropped by the checks
    uint64_t rtx_recovered = 0;  // lost packets restored from a retransmission on the RTX SSRC
    uint64_t red_recovered = 0;  // audio: lost packets restored from a later packet's RED block
    uint64_t probes = 0;         // padding-only packets, on any SSRC
    uint64_t fec_packets = 0;    // ULPFEC (inside RED) and FlexFEC packets kept aside
    uint64_t sdp_unnamed = 0;    // --sdp: media packets of a payload type the SDP does not name
};

// One SSRC of a user's stream as repair mode classified it.
struct SsrcStats {
    uint32_t ssrc = 0;
    const char* role = "";  // "media", "rtx", "fec" or "probe" (only padding seen on it)
    uint64_t packets = 0;
};

// Where one user's stream lies on the recording clock (microseconds since 1970, UTC). Media time
// of the written file counts at the nominal rate (90 kHz video timestamps, 48 kHz Opus samples)
// from its first frame or packet; on the recording clock it lasts that long divided by
// (1 + drift_ppm / 1e6). Without a clock (`placed` false) the stream stays where it always was.
struct StreamClock {
    const char* source = "none";  // "rtcp", "leading_field", "file_names" or "none"
    bool placed = false;
    int64_t start_us = 0;  // the first frame or packet written
    int64_t end_us = 0;    // the last frame or packet written
    double drift_ppm = 0;  // the stream's fitted clock rate against its nominal one
};

// One user's stream of one kind.
struct StreamStats {
    std::string output_file;       // the path the writer created (empty when none was named)
    bool output_ok = false;        // the file was created and no write to it failed
    uint64_t packets = 0;          // capture records of this user
    uint64_t bytes = 0;            // their packet bytes
    uint64_t frames_written = 0;   // video: IVF frames
    uint64_t frames_dropped = 0;   // video: frames dropped for a lost packet
    uint64_t packets_written = 0;  // audio: Ogg audio packets
    uint64_t packets_refused = 0;  // audio: packets refused as not Opus
    bool have_timestamps = false;
    uint32_t first_rtp_timestamp = 0;
    uint32_t last_rtp_timestamp = 0;
    int64_t last_granule = 0;  // audio: granule position of the last packet
    uint64_t seq_gaps = 0;     // sequence numbers that jumped forward by more than one
    uint64_t seq_repeats = 0;  // sequence numbers that repeated or went backwards
    uint16_t last_seq = 0;     // the last sequence number seen (valid with have_timestamps)
    RepairStats repair;
    // Repair mode: the codec the stream was told to be ("VP8", "VP9", "AV1", "H264", "Opus"), or
    // "unknown" for a stream not converted, whose packets are counted in `unconverted`.
    const char* codec = nullptr;
    std::string codec_seen;        // unknown: what was seen (an SDP's encoding name, or empty)
    uint64_t unconverted = 0;      // packets of a stream of a codec not converted
    std::vector<SsrcStats> ssrcs;  // repair mode: the SSRCs seen, in order of first packet
    StreamClock clock;             // filled after both passes when the recording has a clock
};

// --compose: what the meeting composite holds. Times are seconds from the recording's start.
struct ComposeLayout {
    double time = 0;
    uint64_t frame = 0;
    std::vector<uint32_t> users;  // the tiles, in order
};
// A user whose video the composite cannot show, and why.
struct ComposeLeftOut {
    uint32_t uid = 0;
    std::string why;
};

struct ComposeStats {
    bool requested = false;
    bool written = false;  // the file is complete under its name
    std::string file;
    bool placed = false;  // the streams stand on the recording clock (else all start at 0)
    int width = 0;
    int height = 0;
    int rate = 0;
    const char* codec = "";
    uint64_t frames_written = 0;
    double duration = 0;
    double encode_seconds = 0;  // wall time of the composite
    std::vector<ComposeLayout> layouts;
    std::vector<uint32_t> video_users;       // users with a tile at some time
    std::vector<uint32_t> audio_users;       // voices in the mix
    std::vector<uint32_t> audio_only_users;  // a voice and never a picture
    std::vector<ComposeLeftOut> video_left_out;
};

struct RunStats {
    uint64_t files_read = 0;
    uint64_t bytes_read = 0;
    uint64_t records_read = 0;
    uint64_t records_cut_short = 0;
    uint64_t records_refused = 0;  // e.g. a Length over the record limit
    std::map<uint32_t, StreamStats> video;
    std::map<uint32_t, StreamStats> audio;
    uint64_t streams_not_converted = 0;    // streams of a codec the converter does not convert
    std::map<uint32_t, std::string> webm;  // --webm: each user's WebM file that was written whole
    // The recording's first and last record on the recording clock (valid when any stream is
    // placed); the meeting-wide outputs run between them.
    bool recording_placed = false;
    int64_t recording_start_us = 0;
    int64_t recording_end_us = 0;
    ComposeStats compose;
};

// The run's record; map entries stay at one address, so a writer may keep a pointer to its own.
RunStats& run_stats();
