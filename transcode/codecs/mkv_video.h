// The video file of a codec other than VP8: a Matroska file with one video track, written with
// libavformat frame by frame as the depacketizer delivers whole frames. It opens at the first
// frame written, which the repair mode's gate makes a key frame: the container's codec private
// data (H.264 SPS and PPS, the AV1 sequence header) and the picture size come from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "video_codec.h"

class MatroskaVideo {
public:
    MatroskaVideo(std::string path, VideoCodec codec);
    ~MatroskaVideo();
    MatroskaVideo(const MatroskaVideo&) = delete;
    MatroskaVideo& operator=(const MatroskaVideo&) = delete;

    // One whole frame with its RTP timestamp (90 kHz). After a failure (reported once as an
    // output failure) nothing more is written.
    void write(const uint8_t* frame, size_t size, uint32_t timestamp);
    // Writes the trailer and closes the file; reports a failure.
    void close();
    bool failed() const { return failed_; }
    bool opened() const { return fd_ >= 0 || finished_; }

private:
    bool open(const uint8_t* frame, size_t size);
    void fail(const char* what, int err);
    void release();

    const std::string path_;
    const VideoCodec codec_;
    struct Muxer;
    std::unique_ptr<Muxer> mux_;
    int fd_ = -1;
    bool failed_ = false;
    bool finished_ = false;
    bool have_time_ = false;
    uint32_t last_ts_ = 0;
    int64_t pts_ = 0;
};
