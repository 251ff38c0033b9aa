// Reading one user's written files back in composite time: the pictures of the video file and the
// samples of the audio file, decoded as they are reached. Composite time counts from the
// recording's start; a stream's media time (its file's time from its first frame or packet) is
// placed there by the stream's clock.
//
// Decoding goes through libavcodec for the picture: its decoders take the frames of the user's
// video file as the WebM step reads them (video_source.h: VP8 from IVF, VP9, AV1 and H.264 from
// Matroska), whatever the codec. Opus is decoded with libopus directly, whose packet-loss
// concealment covers packets that are missing.
#pragma once

#include <opus/opus.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "libav_loader.h"
#include "video_source.h"
#include "webm_readers.h"

// Where a stream lies in composite time: media time t (microseconds) is at
// offset_us + t / rate, rate being 1 + drift_ppm / 1e6.
struct Placement {
    int64_t offset_us = 0;
    double rate = 1.0;
};

class VideoStream {
public:
    enum class Open {
        ok,
        none,         // no file, or one without a frame
        unreadable,   // the run's file cannot be read back
        undecodable,  // no decoder for its codec, or the decoder does not start
    };
    // `why` says what is missing when the result is unreadable or undecodable.
    Open open(const WebmInput& in, const Placement& place, std::string* why);

    // Decodes every frame whose time is at or before `t_us`. Returns the newest picture or null
    // before the first one. A frame that does not decode (one lost in transit broke its
    // references) leaves the previous picture.
    const AVFrame* picture_at(int64_t t_us);
    // Bumped for each new picture, so a compositor redraws only what changed.
    uint64_t serial() const { return serial_; }
    // Composite times of the first and of the newest picture shown (valid with a picture).
    int64_t first_us() const { return first_us_; }
    int64_t last_us() const { return last_us_; }
    bool ended() const { return !reader_->have(); }
    uint64_t frames_read() const { return reader_->frames(); }
    bool any_picture() const { return have_picture_; }
    // The codec's name as libavcodec gives it ("vp8", "h264", ...).
    const char* codec_name() const;
    uint64_t decode_errors() const { return errors_; }

private:
    int64_t time_of(int64_t pts) const;
    bool receive(int64_t at);

    std::unique_ptr<VideoSource> reader_;
    Placement place_;
    std::unique_ptr<AVCodecContext, CodecDeleter> decoder_;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
    std::unique_ptr<AVFrame, FrameDeleter> picture_;
    std::unique_ptr<AVFrame, FrameDeleter> scratch_;
    bool have_picture_ = false;
    bool flushed_ = false;
    uint64_t serial_ = 0;
    uint64_t errors_ = 0;
    int64_t first_us_ = 0;
    int64_t last_us_ = 0;
};

struct OpusDecoderDeleter {
    void operator()(OpusDecoder* d) const noexcept { opus_decoder_destroy(d); }
};

class AudioStream {
public:
    static constexpr int kChannels = 2;  // every voice is decoded to stereo

    // False when the file holds no packet or the decoder cannot start.
    bool open(const WebmInput& in, const Placement& place);

    // Writes the stream's interleaved stereo samples of composite samples [pos, pos + count) to
    // `out` (silence where the stream has none). Calls move forward: pos never goes back.
    void read(int64_t pos, int count, float* out);
    bool ended() const { return !reader_.have() && buffer_.empty(); }
    uint64_t packets_read() const { return reader_.packets(); }
    uint64_t concealed_samples() const { return concealed_; }

private:
    bool decode_next();
    void append_concealment(int64_t samples);

    webm_read::OggOpusSource reader_;
    Placement place_;
    std::unique_ptr<OpusDecoder, OpusDecoderDeleter> decoder_;
    bool started_ = false;
    int64_t skip_ = 0;          // pre-skip samples still to drop
    int64_t buffer_pos_ = 0;    // composite sample of buffer_'s first frame
    std::deque<float> buffer_;  // decoded interleaved samples not read yet
    int64_t gap_filled_ = 0;    // samples of the current gap covered so far
    uint64_t concealed_ = 0;
};
