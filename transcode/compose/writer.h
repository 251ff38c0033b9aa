// The composite's file: the picture encoded as VP8 or VP9 (libavcodec's libvpx encoders, set for
// speed: one pass, real-time deadline, no look-ahead), the mix as Opus (libavcodec's libopus
// encoder), muxed into WebM by libavformat. The file is written under a temporary name in the
// same directory and renamed over the final name only when everything is written, so a failed
// run leaves nothing half-written under that name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "libav_loader.h"
#include "webm_readers.h"

struct WriterOptions {
    int width = 1280;
    int height = 720;
    int rate = 30;       // frames per second
    bool vp9 = false;    // VP8 otherwise
    bool audio = false;  // an Opus track of the mix
    int threads = 1;     // for the video encoder
};

class CompositeWriter {
public:
    CompositeWriter() = default;
    ~CompositeWriter();
    CompositeWriter(const CompositeWriter&) = delete;
    CompositeWriter& operator=(const CompositeWriter&) = delete;

    // Creates the temporary file next to `path` and starts the encoders and the muxer. False
    // (and `error()` says why) when any of it fails; nothing is left behind.
    bool open(const std::string& path, const WriterOptions& options);
    // Encodes the canvas as frame number `index` (time index / rate).
    bool add_video(AVFrame* picture, int64_t index);
    // Encodes one mixed frame; its samples follow the previous ones.
    bool add_audio(AVFrame* mix);
    // Drains the encoders, writes the trailer and renames the file to its final name.
    bool finish();
    // Removes the temporary file (a run that failed or gave up).
    void abandon();

    const std::string& error() const { return error_; }
    int error_errno() const { return errno_; }
    uint64_t video_frames() const { return video_frames_; }
    uint64_t audio_samples() const { return audio_samples_; }
    // Samples per channel of each mixed frame the Opus encoder takes.
    int audio_frame_size() const { return audio_ ? audio_->frame_size : 0; }

private:
    bool fail(const char* what, int err = 0);
    bool drain(AVCodecContext* enc, AVStream* st);

    std::string path_;
    std::string temp_path_;
    webm_read::OutputFd out_;
    MuxerOutput mux_;
    std::unique_ptr<AVCodecContext, CodecDeleter> video_;
    std::unique_ptr<AVCodecContext, CodecDeleter> audio_;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
    AVStream* video_stream_ = nullptr;
    AVStream* audio_stream_ = nullptr;
    int64_t audio_pts_ = 0;
    uint64_t video_frames_ = 0;
    uint64_t audio_samples_ = 0;
    std::string error_;
    int errno_ = 0;
    bool failed_ = false;
};
