#include "webm_mux.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}
#include <dlfcn.h>
#include <fcntl.h>
#include <ogg/ogg.h>
#include <opus/opus.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "libav_loader.h"
#include "run_options.h"
#include "run_stats.h"
#include "user_video.h"
#include "utils.h"

namespace {

constexpr AVRational kVideoClock = {1, 90000};  // RTP clock of VP8
constexpr AVRational kAudioClock = {1, 48000};  // Ogg Opus granule positions
// The video timeline follows the RTP timestamps, except where they cannot be time that passed: a
// step back, or a step forward of more than five minutes (a sender that restarted with a new
// random timestamp base). There a new segment of the timeline begins, one frame interval after
// the previous frame. Five minutes is also the longest audio gap that --repair fills.
constexpr int64_t kMaxVideoStep = int64_t{90000} * 300;
// The frame interval is the last step between two frames of at most one second (a longer one is
// a pause); 1/30 s until one is seen.
constexpr int64_t kMaxFrameInterval = 90000;
constexpr int64_t kDefaultFrameInterval = 3000;
constexpr int kSeekPreRollSamples = 3840;  // 80 ms, as the WebM mapping of Opus asks
constexpr size_t kIvfHeaderSize = 32;
constexpr size_t kIvfFrameHeadSize = 12;
constexpr size_t kOpusHeadMinSize = 19;
constexpr size_t kOggReadSize = 64 * 1024;
constexpr size_t kInputBufferSize = 1 << 20;
constexpr int kOutputBufferSize = 1 << 20;

uint32_t le16(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
}
uint32_t le32(const uint8_t* p) {
    return le16(p) | (le16(p + 2) << 16);
}
uint64_t le64(const uint8_t* p) {
    return le32(p) | (static_cast<uint64_t>(le32(p + 4)) << 32);
}

// An input file: a regular file opened read-only, or nothing. The output names are predictable,
// so a symlink is never followed and a file of this run must still be the one the pass created:
// anything else planted under its name would end up in the user's WebM.
// Reads go through a large stdio buffer: with the default one, every frame head and frame cost a
// system call of their own. `buffer` must outlive the stream.
FilePtr open_input(const WebmInput& in, uint64_t* size, std::unique_ptr<char[]>& buffer) {
    if (in.path.empty()) return nullptr;
    // Non-blocking, so that a FIFO under the name cannot stall the open; the flag means nothing
    // for the regular file that is read.
    const int fd = open(in.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (in.written_by_run) output_failure(in.path, "cannot read back for the WebM", errno);
        return nullptr;
    }
    struct stat st;
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const bool same = !in.written_by_run || (static_cast<uint64_t>(st.st_dev) == in.identity.dev &&
                                             static_cast<uint64_t>(st.st_ino) == in.identity.ino);
    FILE* f = regular && same ? fdopen(fd, "rb") : nullptr;
    if (f == nullptr) {
        close(fd);
        if (in.written_by_run)
            output_failure(in.path, "not the file this run wrote: left out of the WebM", 0);
        return nullptr;
    }
    *size = static_cast<uint64_t>(st.st_size);
    if (!buffer) buffer.reset(new (std::nothrow) char[kInputBufferSize]);
    if (buffer) setvbuf(f, buffer.get(), _IOFBF, kInputBufferSize);
    return FilePtr(f);
}

// One packet ready for the muxer, in the source's own clock.
struct SourcePacket {
    std::vector<uint8_t> data;
    int64_t pts = 0;
    int64_t duration = 0;
    bool key = false;
};

// ---- video: IVF frames ---------------------------------------------------------------------

// VP8 key frames: bit 0 of the frame tag is 0, and the start code 9d 01 2a follows the 3-byte tag;
// then the 14-bit width and height (the top 2 bits of each are the scaling mode).
bool vp8_key_frame(const uint8_t* data, size_t size) {
    return size > 0 && (data[0] & 1) == 0;
}
bool vp8_key_frame_size(const uint8_t* data, size_t size, int* width, int* height) {
    if (size < 10 || !vp8_key_frame(data, size)) return false;
    if (data[3] != 0x9d || data[4] != 0x01 || data[5] != 0x2a) return false;
    const int w = static_cast<int>(le16(data + 6) & 0x3fff);
    const int h = static_cast<int>(le16(data + 8) & 0x3fff);
    if (w == 0 || h == 0) return false;
    *width = w;
    *height = h;
    return true;
}

// A video track read back for the mux: frames in time order on the 90 kHz clock.
class VideoSource {
public:
    virtual ~VideoSource() = default;
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual uint64_t frames() const = 0;
    virtual bool have() const = 0;
    virtual SourcePacket& current() = 0;
    virtual bool advance() = 0;
    virtual AVCodecID codec_id() const { return AV_CODEC_ID_VP8; }
    // The container's codec private data (avcC, av1C), empty for none.
    virtual const std::vector<uint8_t>& extradata() const {
        static const std::vector<uint8_t> none;
        return none;
    }
};

class IvfSource : public VideoSource {
public:
    // False when the file is missing, unreadable, not an IVF file or holds no frame.
    bool open(const WebmInput& in) {
        file_ = open_input(in, &size_, buffer_);
        if (!file_) return false;
        uint8_t header[kIvfHeaderSize];
        if (fread(header, sizeof(header), 1, file_.get()) != 1 || memcmp(header, "DKIF", 4) != 0)
            return false;
        // The picture size is what the first key frame says; the header's is a fixed guess. A
        // stream without a key frame cannot be decoded anyway and keeps the header's.
        width_ = static_cast<int>(le16(header + 12));
        height_ = static_cast<int>(le16(header + 14));
        bool any = false;
        uint8_t start[10];  // frame tag, start code, width and height
        uint32_t frame_size = 0;
        while (next_head(&frame_size)) {
            any = true;
            const size_t want = std::min<size_t>(frame_size, sizeof(start));
            if (fread(start, 1, want, file_.get()) != want) break;
            if (vp8_key_frame_size(start, want, &width_, &height_)) break;
            if (fseeko(file_.get(), static_cast<off_t>(pos_ + frame_size), SEEK_SET) != 0) break;
            pos_ += frame_size;
        }
        pos_ = kIvfHeaderSize;
        if (!any || fseeko(file_.get(), static_cast<off_t>(pos_), SEEK_SET) != 0) return false;
        return advance();
    }

    int width() const override { return width_; }
    int height() const override { return height_; }
    uint64_t frames() const override { return frames_; }
    bool have() const override { return have_current_; }
    // The frame to write next; its duration is the step to the frame after it.
    SourcePacket& current() override { return current_; }
    bool advance() override {
        have_current_ = false;
        if (!have_next_) have_next_ = read_frame(&next_);
        if (!have_next_) return false;
        std::swap(current_, next_);
        have_current_ = true;
        ++frames_;
        have_next_ = read_frame(&next_);
        // The last picture stays for one frame interval.
        current_.duration = have_next_ ? next_.pts - current_.pts : interval_;
        return true;
    }

private:
    // Reads a frame head; false at the end of the file or a record cut short.
    bool next_head(uint32_t* frame_size) {
        uint8_t head[kIvfFrameHeadSize];
        if (pos_ + kIvfFrameHeadSize > size_) return false;
        if (fread(head, sizeof(head), 1, file_.get()) != 1) return false;
        pos_ += kIvfFrameHeadSize;
        *frame_size = le32(head);
        timestamp_ = le64(head + 4);
        return *frame_size <= size_ - pos_;
    }

    bool read_frame(SourcePacket* out) {
        uint32_t frame_size = 0;
        if (!next_head(&frame_size)) return false;
        out->data.resize(frame_size);
        if (frame_size > 0 && fread(out->data.data(), frame_size, 1, file_.get()) != 1)
            return false;
        pos_ += frame_size;
        // RTP timestamps wrap at 2^32: each step is the signed 32-bit difference. The muxer takes
        // only rising times, and a restarted sender's new base says nothing of the time between.
        const uint32_t rtp = static_cast<uint32_t>(timestamp_);
        if (started_) {
            const int64_t step = static_cast<int32_t>(rtp - last_rtp_);
            if (step < 0 || step > kMaxVideoStep) {
                last_pts_ += interval_;
            } else {
                last_pts_ += step;
                if (step > 0 && step <= kMaxFrameInterval) interval_ = step;
            }
        }
        started_ = true;
        last_rtp_ = rtp;
        out->pts = last_pts_;
        out->key = vp8_key_frame(out->data.data(), out->data.size());
        return true;
    }

    std::unique_ptr<char[]> buffer_;  // stdio buffer of file_, so declared before it
    FilePtr file_;
    uint64_t size_ = 0;
    uint64_t pos_ = kIvfHeaderSize;
    uint64_t timestamp_ = 0;
    int width_ = 0;
    int height_ = 0;
    bool started_ = false;
    uint32_t last_rtp_ = 0;
    int64_t last_pts_ = 0;  // of the frame read last
    int64_t interval_ = kDefaultFrameInterval;
    uint64_t frames_ = 0;
    SourcePacket current_;
    SourcePacket next_;
    bool have_current_ = false;
    bool have_next_ = false;
};

// ---- audio: Ogg Opus packets ---------------------------------------------------------------

struct OggSyncDeleter {
    void operator()(ogg_sync_state* s) const noexcept {
        ogg_sync_clear(s);
        delete s;
    }
};
struct OggStreamDeleter {
    void operator()(ogg_stream_state* s) const noexcept {
        ogg_stream_clear(s);
        delete s;
    }
};

class OggOpusSource {
public:
    // False when the file is missing, unreadable, starts with no OpusHead or holds no audio
    // packet.
    bool open(const WebmInput& in) {
        uint64_t size = 0;
        file_ = open_input(in, &size, buffer_);
        if (!file_) return false;
        sync_.reset(new ogg_sync_state);
        ogg_sync_init(sync_.get());
        std::vector<uint8_t> packet;
        int64_t granule = -1;
        if (!next_packet(&packet, &granule) || packet.size() < kOpusHeadMinSize ||
            memcmp(packet.data(), "OpusHead", 8) != 0)
            return false;
        head_ = packet;
        channels_ = packet[9];
        pre_skip_ = static_cast<int>(le16(packet.data() + 10));
        if (channels_ < 1) return false;
        // The comment header carries nothing a player needs.
        if (!next_packet(&packet, &granule)) return false;
        if (packet.size() < 8 || memcmp(packet.data(), "OpusTags", 8) != 0)
            queue(std::move(packet), granule);
        return advance();
    }

    const std::vector<uint8_t>& opus_head() const { return head_; }
    int channels() const { return channels_; }
    int pre_skip() const { return pre_skip_; }
    uint64_t packets() const { return packets_; }
    bool have() const { return !ready_.empty(); }
    SourcePacket& current() { return ready_.front(); }

    // Packet times come from the granule positions, which only the last packet completed on a
    // page carries: packets wait for it, then each starts where the next one's samples begin.
    // Times count from the first packet's start.
    bool advance() {
        if (!ready_.empty()) ready_.pop_front();
        while (ready_.empty()) {
            std::vector<uint8_t> data;
            int64_t granule = -1;
            if (!next_packet(&data, &granule)) {
                release(-1);
                if (ready_.empty()) return false;
                break;
            }
            queue(std::move(data), granule);
        }
        ++packets_;
        return true;
    }

private:
    void queue(std::vector<uint8_t>&& data, int64_t granule) {
        SourcePacket p;
        p.data = std::move(data);
        const int samples = opus_packet_get_nb_samples(
            p.data.data(), static_cast<opus_int32>(p.data.size()), 48000);
        p.duration = samples > 0 ? samples : 0;
        p.key = true;
        waiting_.push_back(std::move(p));
        if (granule >= 0) release(granule);
    }

    void release(int64_t end_granule) {
        if (waiting_.empty()) return;
        if (end_granule >= 0) {
            int64_t end = end_granule;
            for (auto it = waiting_.rbegin(); it != waiting_.rend(); ++it) {
                end -= it->duration;
                it->pts = end;
            }
        } else {
            // No granule after these packets (a last page cut short): they follow on.
            int64_t start = started_ ? next_start_ : 0;
            for (auto& p : waiting_) {
                p.pts = start;
                start += p.duration;
            }
        }
        if (!started_) {
            started_ = true;
            origin_ = waiting_.front().pts;
        }
        for (auto& p : waiting_) {
            p.pts = std::max(p.pts - origin_, last_pts_);
            last_pts_ = p.pts;
            next_start_ = p.pts + p.duration + origin_;
            ready_.push_back(std::move(p));
        }
        waiting_.clear();
    }

    // The next packet of the first logical stream; false at the end of the file.
    bool next_packet(std::vector<uint8_t>* data, int64_t* granule) {
        for (;;) {
            if (stream_) {
                ogg_packet op;
                const int rc = ogg_stream_packetout(stream_.get(), &op);
                if (rc > 0) {
                    data->assign(op.packet, op.packet + op.bytes);
                    *granule = op.granulepos;
                    return true;
                }
                // rc < 0: a gap in the page sequence; the packets after it are still good.
                if (rc < 0) continue;
            }
            ogg_page page;
            const int prc = ogg_sync_pageout(sync_.get(), &page);
            if (prc < 0) continue;  // bytes skipped to the next page
            if (prc == 0) {
                char* buffer = ogg_sync_buffer(sync_.get(), static_cast<long>(kOggReadSize));
                if (buffer == nullptr) return false;
                const size_t got = fread(buffer, 1, kOggReadSize, file_.get());
                if (got == 0) return false;
                ogg_sync_wrote(sync_.get(), static_cast<long>(got));
                continue;
            }
            if (!stream_) {
                if (!ogg_page_bos(&page)) continue;
                stream_.reset(new ogg_stream_state);
                ogg_stream_init(stream_.get(), ogg_page_serialno(&page));
            }
            // Pages of other logical streams are refused here.
            ogg_stream_pagein(stream_.get(), &page);
        }
    }

    std::unique_ptr<char[]> buffer_;  // stdio buffer of file_, so declared before it
    FilePtr file_;
    std::unique_ptr<ogg_sync_state, OggSyncDeleter> sync_;
    std::unique_ptr<ogg_stream_state, OggStreamDeleter> stream_;
    std::vector<uint8_t> head_;
    int channels_ = 0;
    int pre_skip_ = 0;
    uint64_t packets_ = 0;
    bool started_ = false;
    int64_t origin_ = 0;
    int64_t next_start_ = 0;  // granule position where the last released packet ends
    int64_t last_pts_ = 0;
    std::deque<SourcePacket> waiting_;
    std::deque<SourcePacket> ready_;
};

// ---- output --------------------------------------------------------------------------------

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

bool add_video_stream(AVFormatContext* ctx, const VideoSource& video) {
    AVStream* st = av.avformat_new_stream(ctx, nullptr);
    if (st == nullptr) return false;
    st->time_base = kVideoClock;
    st->disposition = AV_DISPOSITION_DEFAULT;
    AVCodecParameters* par = st->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = video.codec_id();
    par->width = video.width();
    par->height = video.height();
    const std::vector<uint8_t>& extra = video.extradata();
    if (!extra.empty()) {
        par->extradata =
            static_cast<uint8_t*>(av.av_mallocz(extra.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (par->extradata == nullptr) return false;
        memcpy(par->extradata, extra.data(), extra.size());
        par->extradata_size = static_cast<int>(extra.size());
    }
    return true;
}

bool add_audio_stream(AVFormatContext* ctx, const OggOpusSource& audio) {
    AVStream* st = av.avformat_new_stream(ctx, nullptr);
    if (st == nullptr) return false;
    st->time_base = kAudioClock;
    st->disposition = AV_DISPOSITION_DEFAULT;
    AVCodecParameters* par = st->codecpar;
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = AV_CODEC_ID_OPUS;
    par->sample_rate = 48000;
    av.av_channel_layout_default(&par->ch_layout, audio.channels());
    // CodecPrivate is the OpusHead; the muxer turns the pre-skip into CodecDelay.
    const std::vector<uint8_t>& head = audio.opus_head();
    par->extradata =
        static_cast<uint8_t*>(av.av_mallocz(head.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (par->extradata == nullptr) return false;
    memcpy(par->extradata, head.data(), head.size());
    par->extradata_size = static_cast<int>(head.size());
    par->initial_padding = audio.pre_skip();
    par->seek_preroll = kSeekPreRollSamples;
    return true;
}

// Writes one source packet on stream `st`, its times moved from `clock` to the stream's.
int write_packet(AVFormatContext* ctx, AVPacket* pkt, const AVStream* st, AVRational clock,
                 SourcePacket& p) {
    pkt->data = p.data.data();
    pkt->size = static_cast<int>(p.data.size());
    pkt->stream_index = st->index;
    pkt->pts = pkt->dts = av.av_rescale_q(p.pts, clock, st->time_base);
    pkt->duration = av.av_rescale_q(p.duration, clock, st->time_base);
    pkt->flags = p.key ? AV_PKT_FLAG_KEY : 0;
    return av.av_write_frame(ctx, pkt);
}

}  // namespace

WebmMuxResult mux_webm(const WebmInput& ivf, const WebmInput& ogg, const std::string& out_path) {
    WebmMuxResult result;
    const bool other = ivf.codec != nullptr && strcmp(ivf.codec, "VP8") != 0;
    IvfSource ivf_video;
    MatroskaSource mkv_video;
    VideoSource& video = other ? static_cast<VideoSource&>(mkv_video) : ivf_video;
    OggOpusSource audio;
    result.have_video = other ? mkv_video.open(ivf) : ivf_video.open(ivf);
    result.have_audio = audio.open(ogg);
    if (!result.have_video && !result.have_audio) return result;
    if (result.have_video) {
        result.width = video.width();
        result.height = video.height();
    }
    if (!load_libav()) {
        output_failure(out_path, "cannot load libavformat", 0);
        return result;
    }

    OutputFd out;
    errno = 0;
    out.fd = open_output_fd(out_path);
    if (out.fd < 0) {
        output_failure(out_path, "cannot create", errno);
        return result;
    }
    AVFormatContext* raw = nullptr;
    const char* format = other && strcmp(ivf.codec, "H264") == 0 ? "mp4" : "webm";
    if (av.avformat_alloc_output_context2(&raw, nullptr, format, nullptr) < 0 || raw == nullptr) {
        output_failure(out_path, "cannot start the WebM muxer", 0);
        return result;
    }
    std::unique_ptr<AVFormatContext, FormatDeleter> ctx(raw);
    // Track ids from a counter rather than random numbers: the same inputs give the same file.
    ctx->flags |= AVFMT_FLAG_BITEXACT;
    auto* buffer = static_cast<unsigned char*>(av.av_malloc(kOutputBufferSize));
    std::unique_ptr<AVIOContext, IoDeleter> io(
        buffer
            ? av.avio_alloc_context(buffer, kOutputBufferSize, 1, &out, nullptr, write_fd, seek_fd)
            : nullptr);
    if (!io) {
        av.av_free(buffer);
        output_failure(out_path, "cannot start the WebM muxer", ENOMEM);
        return result;
    }
    io->seekable = AVIO_SEEKABLE_NORMAL;
    ctx->pb = io.get();
    std::unique_ptr<AVPacket, PacketDeleter> pkt(av.av_packet_alloc());

    const int video_index = result.have_video ? 0 : -1;
    const int audio_index = result.have_audio ? (result.have_video ? 1 : 0) : -1;
    bool ok = pkt != nullptr && (!result.have_video || add_video_stream(ctx.get(), video)) &&
              (!result.have_audio || add_audio_stream(ctx.get(), audio)) &&
              av.avformat_write_header(ctx.get(), nullptr) >= 0;

    // Both sources are in time order; the earlier packet goes first, video on a tie.
    while (ok && (video.have() || audio.have())) {
        bool take_video = video.have();
        if (take_video && audio.have())
            take_video = av.av_compare_ts(video.current().pts, kVideoClock, audio.current().pts,
                                          kAudioClock) <= 0;
        if (take_video) {
            ok = write_packet(ctx.get(), pkt.get(), ctx->streams[video_index], kVideoClock,
                              video.current()) >= 0;
            video.advance();
        } else {
            ok = write_packet(ctx.get(), pkt.get(), ctx->streams[audio_index], kAudioClock,
                              audio.current()) >= 0;
            audio.advance();
        }
    }
    if (ok) ok = av.av_write_trailer(ctx.get()) >= 0;
    av.avio_flush(io.get());
    ok = ok && io->error == 0 && out.error == 0;
    result.video_frames = video.frames();
    result.audio_packets = audio.packets();

    const int fd = out.fd;
    out.fd = -1;
    errno = 0;
    const bool closed = close(fd) == 0;
    if (!ok) {
        output_failure(out_path, "cannot write", out.error);
    } else if (!closed) {
        output_failure(out_path, "cannot finish writing", errno);
    } else {
        result.written = true;
    }
    return result;
}

namespace {

// What the pass left of one kind: its file when it was created by this run and written whole.
WebmInput input_of(const StreamStats& stats) {
    WebmInput in;
    if (stats.output_ok && output_created(stats.output_file, &in.identity)) {
        in.path = stats.output_file;
        in.written_by_run = true;
        in.codec = stats.codec;
    }
    return in;
}

}  // namespace

void mux_all_webm() {
    std::map<uint32_t, std::pair<WebmInput, WebmInput>> users;
    for (const auto& entry : run_stats().video) users[entry.first].first = input_of(entry.second);
    for (const auto& entry : run_stats().audio) users[entry.first].second = input_of(entry.second);
    for (const auto& user : users) {
        const char* codec = user.second.first.codec;
        const bool mp4 = codec != nullptr && strcmp(codec, "H264") == 0;
        const std::string path = output_path(timeFilename(mp4 ? "mp4" : "webm", user.first));
        // Frames are read into memory one at a time; one that cannot be held gives up this
        // user's WebM, not the run.
        try {
            if (mux_webm(user.second.first, user.second.second, path).written)
                run_stats().webm[user.first] = path;
        } catch (const std::bad_alloc&) {
            output_failure(path, "cannot write", ENOMEM);
        }
    }
}
