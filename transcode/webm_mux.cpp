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
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "run_options.h"
#include "run_stats.h"
#include "user_video.h"
#include "utils.h"
#include "webm_readers.h"

using namespace webm_read;

namespace {

// libavformat and the libraries it pulls in (libavcodec with every codec library of the system)
// are loaded only when a WebM is to be written: linked, they would cost every run tens of
// megabytes and tens of milliseconds at start. Resolving through the libavformat handle also
// finds the libavcodec and libavutil functions, its dependencies.
#define LIBAV_FUNCTIONS(X)            \
    X(av_channel_layout_default)      \
    X(av_compare_ts)                  \
    X(av_free)                        \
    X(av_freep)                       \
    X(av_log_set_level)               \
    X(av_malloc)                      \
    X(av_mallocz)                     \
    X(av_packet_alloc)                \
    X(av_packet_free)                 \
    X(av_rescale_q)                   \
    X(av_write_frame)                 \
    X(av_write_trailer)               \
    X(avformat_alloc_output_context2) \
    X(avformat_free_context)          \
    X(avformat_new_stream)            \
    X(avformat_write_header)          \
    X(avio_alloc_context)             \
    X(avio_context_free)              \
    X(avio_flush)

struct LibAv {
#define LIBAV_POINTER(name) decltype(&::name) name = nullptr;
    LIBAV_FUNCTIONS(LIBAV_POINTER)
#undef LIBAV_POINTER
};
LibAv av;

// True when every function is there; tried once.
bool load_libav() {
    static const bool loaded = [] {
        const std::string soname = "libavformat.so." + std::to_string(LIBAVFORMAT_VERSION_MAJOR);
        void* handle = dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return false;
        bool all = true;
#define LIBAV_RESOLVE(name)                                              \
    av.name = reinterpret_cast<decltype(av.name)>(dlsym(handle, #name)); \
    all = all && av.name != nullptr;
        LIBAV_FUNCTIONS(LIBAV_RESOLVE)
#undef LIBAV_RESOLVE
        // libavformat reports through its own log; the converter's output stays its own.
        if (all) av.av_log_set_level(AV_LOG_QUIET);
        return all;
    }();
    return loaded;
}

constexpr AVRational kVideoClock = {1, 90000};  // RTP clock of VP8
constexpr AVRational kAudioClock = {1, 48000};  // Ogg Opus granule positions
constexpr int kSeekPreRollSamples = 3840;       // 80 ms, as the WebM mapping of Opus asks
constexpr int kOutputBufferSize = 1 << 20;

struct FormatDeleter {
    void operator()(AVFormatContext* c) const noexcept { av.avformat_free_context(c); }
};
struct IoDeleter {
    void operator()(AVIOContext* io) const noexcept {
        av.av_freep(&io->buffer);
        av.avio_context_free(&io);
    }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const noexcept { av.av_packet_free(&p); }
};

bool add_video_stream(AVFormatContext* ctx, const IvfSource& video) {
    AVStream* st = av.avformat_new_stream(ctx, nullptr);
    if (st == nullptr) return false;
    st->time_base = kVideoClock;
    st->disposition = AV_DISPOSITION_DEFAULT;
    AVCodecParameters* par = st->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_VP8;
    par->width = video.width();
    par->height = video.height();
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

// Moves a track's packets to where the timing puts them, in the track's own clock; times stay
// rising even where rounding would make two equal.
class TrackPlacement {
public:
    TrackPlacement(double start_us, double scale, int64_t rate)
        : offset_(start_us * static_cast<double>(rate) / 1e6), scale_(scale) {}
    void place(SourcePacket& p) {
        if (offset_ == 0 && scale_ == 1) return;
        int64_t pts =
            static_cast<int64_t>(std::llround(offset_ + static_cast<double>(p.pts) * scale_));
        if (started_ && pts <= last_) pts = last_ + 1;
        started_ = true;
        last_ = pts;
        p.pts = pts;
        p.duration = static_cast<int64_t>(std::llround(static_cast<double>(p.duration) * scale_));
    }

private:
    double offset_;
    double scale_;
    bool started_ = false;
    int64_t last_ = 0;
};

}  // namespace

WebmMuxResult mux_webm(const WebmInput& ivf, const WebmInput& ogg, const std::string& out_path,
                       const WebmTiming& timing) {
    WebmMuxResult result;
    IvfSource video;
    OggOpusSource audio;
    TrackPlacement video_place(timing.video_start_us, timing.video_scale, 90000);
    TrackPlacement audio_place(timing.audio_start_us, 1, 48000);
    result.have_video = video.open(ivf);
    result.have_audio = audio.open(ogg);
    if (result.have_video) video_place.place(video.current());
    if (result.have_audio) audio_place.place(audio.current());
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
    if (av.avformat_alloc_output_context2(&raw, nullptr, "webm", nullptr) < 0 || raw == nullptr) {
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
            if (video.advance()) video_place.place(video.current());
        } else {
            ok = write_packet(ctx.get(), pkt.get(), ctx->streams[audio_index], kAudioClock,
                              audio.current()) >= 0;
            if (audio.advance()) audio_place.place(audio.current());
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
    }
    return in;
}

// Where the user's tracks lie: from the recording clock when every track the WebM gets is placed
// on it, else each from 0 as the files alone say.
WebmTiming timing_of(const StreamStats* video, const StreamStats* audio) {
    const bool v = video != nullptr && video->clock.placed;
    const bool a = audio != nullptr && audio->clock.placed;
    const double base =
        static_cast<double>(v && a ? std::min(video->clock.start_us, audio->clock.start_us)
                                   : (v   ? video->clock.start_us
                                      : a ? audio->clock.start_us
                                          : 0));
    return webm_timing(video, audio, base);
}

}  // namespace

WebmTiming webm_timing(const StreamStats* video, const StreamStats* audio, double base) {
    WebmTiming t;
    const bool v = video != nullptr && video->clock.placed;
    const bool a = audio != nullptr && audio->clock.placed;
    if ((video != nullptr && !v) || (audio != nullptr && !a) || (!v && !a)) return t;
    if (v && !a) t.video_start_us = static_cast<double>(video->clock.start_us) - base;
    if (a) t.audio_start_us = static_cast<double>(audio->clock.start_us) - base;
    if (v && a) {
        // Players follow the audio: a video frame goes where the audio's own clock has its time.
        const double audio_rate = 1 + audio->clock.drift_ppm / 1e6;
        t.video_start_us =
            t.audio_start_us +
            static_cast<double>(video->clock.start_us - audio->clock.start_us) * audio_rate;
        t.video_scale = audio_rate / (1 + video->clock.drift_ppm / 1e6);
    }
    return t;
}

void mux_all_webm() {
    std::map<uint32_t, std::pair<WebmInput, WebmInput>> users;
    for (const auto& entry : run_stats().video) users[entry.first].first = input_of(entry.second);
    for (const auto& entry : run_stats().audio) users[entry.first].second = input_of(entry.second);
    for (const auto& user : users) {
        const std::string path = output_path(timeFilename("webm", user.first));
        // Frames are read into memory one at a time; one that cannot be held gives up this
        // user's WebM, not the run.
        try {
            auto v = run_stats().video.find(user.first);
            auto a = run_stats().audio.find(user.first);
            const WebmTiming timing = timing_of(
                v != run_stats().video.end() && !user.second.first.path.empty() ? &v->second
                                                                                : nullptr,
                a != run_stats().audio.end() && !user.second.second.path.empty() ? &a->second
                                                                                 : nullptr);
            if (mux_webm(user.second.first, user.second.second, path, timing).written)
                run_stats().webm[user.first] = path;
        } catch (const std::bad_alloc&) {
            output_failure(path, "cannot write", ENOMEM);
        }
    }
}
