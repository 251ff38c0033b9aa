#include "writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kOutputBufferSize = 1 << 20;
constexpr int kOpusBitrate = 96000;

// A bit rate for the picture that grows with its area: about 2.5 Mbit/s at 1280x720 and 30 fps.
int64_t video_bitrate(const WriterOptions& o) {
    const int64_t bits = static_cast<int64_t>(o.width) * o.height * o.rate / 11;
    return bits < 100000 ? 100000 : bits;
}

}  // namespace

CompositeWriter::~CompositeWriter() {
    abandon();
}

bool CompositeWriter::fail(const char* what, int err) {
    if (!failed_) {
        error_ = what;
        errno_ = err;
    }
    failed_ = true;
    return false;
}

bool CompositeWriter::open(const std::string& path, const WriterOptions& options) {
    if (!load_libav_compose()) return fail("cannot load libavfilter and libavcodec");
    path_ = path;
    // The temporary file sits beside the final one so that the rename stays on one file system;
    // mkstemp creates it anew (never through a symlink) and with a name nobody else picked.
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::vector<char> name(dir.begin(), dir.end());
    const std::string tail = "." + base + ".XXXXXX";
    name.insert(name.end(), tail.begin(), tail.end());
    name.push_back('\0');
    errno = 0;
    out_.fd = mkostemp(name.data(), O_CLOEXEC);
    if (out_.fd < 0) return fail("cannot create", errno);
    temp_path_ = name.data();
    // mkostemp makes the file 0600; the composite gets what every other output gets, 0666 less
    // the umask (which can only be read by setting it).
    const mode_t mask = umask(022);
    umask(mask);
    if (fchmod(out_.fd, 0666 & ~mask) != 0) return fail("cannot create", errno);

    int err = 0;
    if (!open_muxer("webm", &out_, kOutputBufferSize, &mux_, &err))
        return fail("cannot start the WebM muxer", err);
    packet_.reset(av.av_packet_alloc());
    if (!packet_) return fail("cannot start the encoders", ENOMEM);

    // The picture.
    const char* encoder_name = options.vp9 ? "libvpx-vp9" : "libvpx";
    const AVCodec* vcodec = av.avcodec_find_encoder_by_name(encoder_name);
    if (vcodec == nullptr) return fail(options.vp9 ? "no VP9 encoder" : "no VP8 encoder");
    video_.reset(av.avcodec_alloc_context3(vcodec));
    if (!video_) return fail("cannot start the video encoder", ENOMEM);
    video_->width = options.width;
    video_->height = options.height;
    video_->pix_fmt = AV_PIX_FMT_YUV420P;
    video_->time_base = AVRational{1, options.rate};
    video_->framerate = AVRational{options.rate, 1};
    video_->bit_rate = video_bitrate(options);
    video_->gop_size = options.rate * 4;  // a key frame every 4 s, for seeking
    video_->thread_count = options.threads;
    video_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av.av_opt_set(video_->priv_data, "deadline", "realtime", 0);
    av.av_opt_set_int(video_->priv_data, "cpu-used", 16, 0);
    av.av_opt_set_int(video_->priv_data, "lag-in-frames", 0, 0);
    if (options.vp9) {
        av.av_opt_set_int(video_->priv_data, "row-mt", 1, 0);
        av.av_opt_set_int(video_->priv_data, "tile-columns", 2, 0);
    }
    if (av.avcodec_open2(video_.get(), vcodec, nullptr) < 0)
        return fail("cannot start the video encoder");
    video_stream_ = av.avformat_new_stream(mux_.ctx.get(), nullptr);
    if (video_stream_ == nullptr ||
        av.avcodec_parameters_from_context(video_stream_->codecpar, video_.get()) < 0)
        return fail("cannot start the WebM muxer");
    video_stream_->time_base = video_->time_base;
    video_stream_->disposition = AV_DISPOSITION_DEFAULT;

    // The mix.
    if (options.audio) {
        const AVCodec* acodec = av.avcodec_find_encoder_by_name("libopus");
        if (acodec == nullptr) return fail("no Opus encoder");
        audio_.reset(av.avcodec_alloc_context3(acodec));
        if (!audio_) return fail("cannot start the audio encoder", ENOMEM);
        audio_->sample_rate = 48000;
        audio_->sample_fmt = AV_SAMPLE_FMT_FLT;
        av.av_channel_layout_default(&audio_->ch_layout, 2);
        audio_->bit_rate = kOpusBitrate;
        audio_->time_base = AVRational{1, 48000};
        audio_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (av.avcodec_open2(audio_.get(), acodec, nullptr) < 0)
            return fail("cannot start the audio encoder");
        audio_stream_ = av.avformat_new_stream(mux_.ctx.get(), nullptr);
        if (audio_stream_ == nullptr ||
            av.avcodec_parameters_from_context(audio_stream_->codecpar, audio_.get()) < 0)
            return fail("cannot start the WebM muxer");
        audio_stream_->time_base = audio_->time_base;
        audio_stream_->disposition = AV_DISPOSITION_DEFAULT;
    }
    if (av.avformat_write_header(mux_.ctx.get(), nullptr) < 0)
        return fail("cannot write", out_.error);
    return true;
}

bool CompositeWriter::drain(AVCodecContext* enc, AVStream* st) {
    for (;;) {
        const int rc = av.avcodec_receive_packet(enc, packet_.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) return fail("cannot encode");
        av.av_packet_rescale_ts(packet_.get(), enc->time_base, st->time_base);
        packet_->stream_index = st->index;
        if (av.av_interleaved_write_frame(mux_.ctx.get(), packet_.get()) < 0)
            return fail("cannot write", out_.error);
    }
}

bool CompositeWriter::add_video(AVFrame* picture, int64_t index) {
    if (failed_) return false;
    picture->pts = index;
    if (av.avcodec_send_frame(video_.get(), picture) < 0) return fail("cannot encode");
    ++video_frames_;
    return drain(video_.get(), video_stream_);
}

bool CompositeWriter::add_audio(AVFrame* mix) {
    if (failed_ || !audio_) return false;
    mix->pts = audio_pts_;
    audio_pts_ += mix->nb_samples;
    audio_samples_ += static_cast<uint64_t>(mix->nb_samples);
    if (av.avcodec_send_frame(audio_.get(), mix) < 0) return fail("cannot encode");
    return drain(audio_.get(), audio_stream_);
}

bool CompositeWriter::finish() {
    if (failed_) return false;
    if (av.avcodec_send_frame(video_.get(), nullptr) < 0 || !drain(video_.get(), video_stream_))
        return fail("cannot encode");
    if (audio_ &&
        (av.avcodec_send_frame(audio_.get(), nullptr) < 0 || !drain(audio_.get(), audio_stream_)))
        return fail("cannot encode");
    if (av.av_write_trailer(mux_.ctx.get()) < 0) return fail("cannot write", out_.error);
    av.avio_flush(mux_.io.get());
    if (mux_.io->error != 0 || out_.error != 0) return fail("cannot write", out_.error);
    errno = 0;
    if (fsync(out_.fd) != 0 && errno != EINVAL) return fail("cannot finish writing", errno);
    const int fd = out_.fd;
    out_.fd = -1;
    errno = 0;
    if (close(fd) != 0) return fail("cannot finish writing", errno);
    errno = 0;
    if (rename(temp_path_.c_str(), path_.c_str()) != 0) return fail("cannot create", errno);
    temp_path_.clear();
    return true;
}

void CompositeWriter::abandon() {
    if (temp_path_.empty()) return;
    // The muxer's I/O goes before the descriptor it writes to.
    mux_.ctx.reset();
    mux_.io.reset();
    if (out_.fd >= 0) {
        close(out_.fd);
        out_.fd = -1;
    }
    unlink(temp_path_.c_str());
    temp_path_.clear();
}
