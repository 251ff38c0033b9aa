// The WebM step: after both passes, each user's IVF (VP8) and Ogg Opus files are read back and
// merged in time order into one WebM file that browsers play. Files are streamed frame by frame
// and packet by packet; nothing holds a whole file.
#pragma once

#include <cstdint>
#include <string>

#include "run_stats.h"
#include "utils.h"

// What one mux found in its inputs; zero counts for a track that is absent.
struct WebmMuxResult {
    bool written = false;  // the output exists and every write to it succeeded
    bool have_video = false;
    bool have_audio = false;
    uint64_t video_frames = 0;   // IVF frames muxed
    uint64_t audio_packets = 0;  // Ogg audio packets muxed (OpusHead and OpusTags excluded)
    int width = 0;               // from the first key frame's VP8 header
    int height = 0;
};

// One input file of the mux. Inputs are opened without following a symlink.
struct WebmInput {
    std::string path;  // empty: no track of this kind
    // Set for a file this run wrote: the file opened must be that one (same device and inode),
    // and one that cannot be read back is named on standard error as an output failure.
    bool written_by_run = false;
    FileIdentity identity;
    // Video: the codec of the file ("VP9", "AV1", "H264": a Matroska file of this run); null or
    // "VP8": an IVF file.
    const char* codec = nullptr;
};

// What a pass left of one kind: its file when this run created it and wrote it whole (with the
// codec of a video file), else an input without a path.
WebmInput webm_input_of(const StreamStats& stats);

// Where the tracks lie in the WebM. By default each starts at 0 and follows its own clock, as the
// files carry no time of day. With a recording clock the track that started later starts later,
// and video frames move onto the audio's clock (drift), which players follow.
struct WebmTiming {
    double audio_start_us = 0;  // the first audio packet
    double video_start_us = 0;  // the first video frame
    double video_scale = 1;     // microseconds of the file per microsecond of video media time
};

// The timing of a user's tracks from their places on the recording clock, the file's 0 at `base_us`
// (null for a kind the WebM does not get). Each from 0 unless every track there is placed.
WebmTiming webm_timing(const StreamStats* video, const StreamStats* audio, double base_us);

// Writes `out_path` from the IVF file `ivf` and the Ogg Opus file `ogg`. Either input may be
// unnamed, missing, unreadable or hold no frame or packet: that track is then left out, and with
// neither track no file is created. A file that cannot be written is reported as an output
// failure (named on standard error; the run ends with status 2).
WebmMuxResult mux_webm(const WebmInput& ivf, const WebmInput& ogg, const std::string& out_path,
                       const WebmTiming& timing = WebmTiming());

// For every user of the run record (video or audio): mux_webm into
// output_path(timeFilename("webm", uid)) of the files that the passes created and wrote whole; a
// kind whose file failed gets no track. An H.264 user's file is an MP4 ("mp4"), since WebM holds
// no H.264.
void mux_all_webm();
