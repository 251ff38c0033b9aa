#include "video_source.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "libav_loader.h"

using namespace webm_read;

namespace {

constexpr AVRational kVideoClock = {1, 90000};

// A VP8 user's IVF file.
class IvfVideo : public VideoSource {
public:
    bool open(const WebmInput& in) { return ivf_.open(in); }
    int width() const override { return ivf_.width(); }
    int height() const override { return ivf_.height(); }
    uint64_t frames() const override { return ivf_.frames(); }
    bool have() const override { return ivf_.have(); }
    SourcePacket& current() override { return ivf_.current(); }
    bool advance() override { return ivf_.advance(); }
    AVCodecID codec_id() const override { return AV_CODEC_ID_VP8; }
    const std::vector<uint8_t>& extradata() const override { return none_; }

private:
    IvfSource ivf_;
    std::vector<uint8_t> none_;  // IVF carries no codec setup
};

// ---- video: the Matroska file of a codec other than VP8 -----------------------------------

int read_stdio(void* opaque, uint8_t* buf, int size) {
    const size_t n = fread(buf, 1, static_cast<size_t>(size), static_cast<FILE*>(opaque));
    return n > 0 ? static_cast<int>(n) : AVERROR_EOF;
}

int64_t seek_stdio(void* opaque, int64_t offset, int whence) {
    FILE* f = static_cast<FILE*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat st;
        return fstat(fileno(f), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    }
    if (fseeko(f, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE) != 0) return AVERROR(errno);
    return static_cast<int64_t>(ftello(f));
}

struct InputDeleter {
    void operator()(AVFormatContext* c) const noexcept { av.avformat_close_input(&c); }
};

// Reads the frames of the first video track of a Matroska file the video pass wrote (through the
// same checked open as the IVF files), with their times moved to the 90 kHz clock.
class MatroskaSource : public VideoSource {
public:
    bool open(const WebmInput& in) {
        if (!load_libav()) return false;
        uint64_t size = 0;
        file_ = open_input(in, &size, buffer_);
        if (!file_) return false;
        auto* io_buffer = static_cast<unsigned char*>(av.av_malloc(kOggReadSize));
        io_.reset(io_buffer ? av.avio_alloc_context(io_buffer, kOggReadSize, 0, file_.get(),
                                                    read_stdio, nullptr, seek_stdio)
                            : nullptr);
        if (!io_) {
            av.av_free(io_buffer);
            return false;
        }
        AVFormatContext* raw = av.avformat_alloc_context();
        if (!raw) return false;
        raw->pb = io_.get();
        if (av.avformat_open_input(&raw, nullptr, nullptr, nullptr) < 0) return false;
        ctx_.reset(raw);
        for (unsigned i = 0; i < raw->nb_streams && stream_ < 0; ++i)
            if (raw->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
                stream_ = static_cast<int>(i);
        if (stream_ < 0) return false;
        const AVCodecParameters* par = raw->streams[stream_]->codecpar;
        codec_ = par->codec_id;
        width_ = par->width;
        height_ = par->height;
        if (par->extradata && par->extradata_size > 0)
            extradata_.assign(par->extradata, par->extradata + par->extradata_size);
        pkt_.reset(av.av_packet_alloc());
        if (!pkt_) return false;
        have_next_ = read_frame(&next_);
        return advance();
    }

    int width() const override { return width_; }
    int height() const override { return height_; }
    uint64_t frames() const override { return frames_; }
    bool have() const override { return have_current_; }
    SourcePacket& current() override { return current_; }
    AVCodecID codec_id() const override { return codec_; }
    const std::vector<uint8_t>& extradata() const override { return extradata_; }
    bool advance() override {
        have_current_ = false;
        if (!have_next_) return false;
        std::swap(current_, next_);
        have_current_ = true;
        ++frames_;
        have_next_ = read_frame(&next_);
        // The last picture stays for one frame interval.
        current_.duration = have_next_ ? next_.pts - current_.pts : interval_;
        if (have_next_ && current_.duration > 0 && current_.duration <= kMaxFrameInterval)
            interval_ = current_.duration;
        return true;
    }

private:
    bool read_frame(SourcePacket* out) {
        AVPacket* pkt = pkt_.get();
        while (av.av_read_frame(ctx_.get(), pkt) >= 0) {
            if (pkt->stream_index != stream_ || pkt->pts == AV_NOPTS_VALUE) {
                av.av_packet_unref(pkt);
                continue;
            }
            out->data.assign(pkt->data, pkt->data + pkt->size);
            out->pts = av.av_rescale_q(pkt->pts, ctx_->streams[stream_]->time_base, kVideoClock);
            // The file's times only rise (the video pass made them so).
            if (started_ && out->pts <= last_pts_) out->pts = last_pts_ + 1;
            started_ = true;
            last_pts_ = out->pts;
            out->key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
            av.av_packet_unref(pkt);
            return true;
        }
        return false;
    }

    std::unique_ptr<char[]> buffer_;
    FilePtr file_;
    std::unique_ptr<AVIOContext, IoDeleter> io_;
    std::unique_ptr<AVFormatContext, InputDeleter> ctx_;
    std::unique_ptr<AVPacket, PacketDeleter> pkt_;
    int stream_ = -1;
    AVCodecID codec_ = AV_CODEC_ID_NONE;
    int width_ = 0, height_ = 0;
    std::vector<uint8_t> extradata_;
    bool started_ = false;
    int64_t last_pts_ = 0;
    int64_t interval_ = kDefaultFrameInterval;
    uint64_t frames_ = 0;
    SourcePacket current_, next_;
    bool have_current_ = false, have_next_ = false;
};

}  // namespace

std::unique_ptr<VideoSource> open_video_source(const WebmInput& in) {
    const bool other = in.codec != nullptr && strcmp(in.codec, "VP8") != 0;
    if (other) {
        auto mkv = std::make_unique<MatroskaSource>();
        if (mkv->open(in)) return mkv;
    } else {
        auto ivf = std::make_unique<IvfVideo>();
        if (ivf->open(in)) return ivf;
    }
    return nullptr;
}
