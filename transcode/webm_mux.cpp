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

#include "libav_loader.h"
#include "run_options.h"
#include "run_stats.h"
#include "user_video.h"
#include "utils.h"
#include "video_source.h"
#include "webm_readers.h"

using namespace webm_read;

namespace {

constexpr AVRational kVideoClock = {1, 90000};  // RTP clock of VP8
constexpr AVRational kAudioClock = {1, 48000};  // Ogg Opus granule positions
constexpr int kSeekPreRollSamples = 3840;       // 80 ms, as the WebM mapping of Opus asks
constexpr int kOutputBufferSize = 1 << 20;

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
    const bool other = ivf.codec != nullptr && strcmp(ivf.codec, "VP8") != 0;
    std::unique_ptr<VideoSource> video = open_video_source(ivf);
    OggOpusSource audio;
    TrackPlacement video_place(timing.video_start_us, timing.video_scale, 90000);
    TrackPlacement audio_place(timing.audio_start_us, 1, 48000);
    result.have_video = video != nullptr;
    result.have_audio = audio.open(ogg);
    if (result.have_video) video_place.place(video->current());
    if (result.have_audio) audio_place.place(audio.current());
    if (!result.have_video && !result.have_audio) return result;
    if (result.have_video) {
        result.width = video->width();
        result.height = video->height();
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
    const char* format = other && strcmp(ivf.codec, "H264") == 0 ? "mp4" : "webm";
    MuxerOutput mux;
    int mux_err = 0;
    if (!open_muxer(format, &out, kOutputBufferSize, &mux, &mux_err)) {
        output_failure(out_path, "cannot start the WebM muxer", mux_err);
        return result;
    }
    AVFormatContext* const ctx = mux.ctx.get();
    AVIOContext* const io = mux.io.get();
    std::unique_ptr<AVPacket, PacketDeleter> pkt(av.av_packet_alloc());

    const int video_index = result.have_video ? 0 : -1;
    const int audio_index = result.have_audio ? (result.have_video ? 1 : 0) : -1;
    bool ok = pkt != nullptr && (!result.have_video || add_video_stream(ctx, *video)) &&
              (!result.have_audio || add_audio_stream(ctx, audio)) &&
              av.avformat_write_header(ctx, nullptr) >= 0;

    // Both sources are in time order; the earlier packet goes first, video on a tie.
    while (ok && ((video && video->have()) || audio.have())) {
        bool take_video = video && video->have();
        if (take_video && audio.have())
            take_video = av.av_compare_ts(video->current().pts, kVideoClock, audio.current().pts,
                                          kAudioClock) <= 0;
        if (take_video) {
            ok = write_packet(ctx, pkt.get(), ctx->streams[video_index], kVideoClock,
                              video->current()) >= 0;
            if (video->advance()) video_place.place(video->current());
        } else {
            ok = write_packet(ctx, pkt.get(), ctx->streams[audio_index], kAudioClock,
                              audio.current()) >= 0;
            if (audio.advance()) audio_place.place(audio.current());
        }
    }
    if (ok) ok = av.av_write_trailer(ctx) >= 0;
    av.avio_flush(io);
    ok = ok && io->error == 0 && out.error == 0;
    result.video_frames = video ? video->frames() : 0;
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

WebmInput webm_input_of(const StreamStats& stats) {
    WebmInput in;
    if (stats.output_ok && output_created(stats.output_file, &in.identity)) {
        in.path = stats.output_file;
        in.written_by_run = true;
        in.codec = stats.codec;
    }
    return in;
}

namespace {

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
    for (const auto& entry : run_stats().video)
        users[entry.first].first = webm_input_of(entry.second);
    for (const auto& entry : run_stats().audio)
        users[entry.first].second = webm_input_of(entry.second);
    for (const auto& user : users) {
        const char* codec = user.second.first.codec;
        const bool mp4 = codec != nullptr && strcmp(codec, "H264") == 0;
        const std::string path = output_path(timeFilename(mp4 ? "mp4" : "webm", user.first));
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
