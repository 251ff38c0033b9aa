#include "mkv_video.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "av1_unpack.h"
#include "h264_unpack.h"
#include "libav_loader.h"
#include "utils.h"
#include "vp9_unpack.h"
#include "webm_readers.h"

using webm_read::OutputFd;
using webm_read::seek_fd;
using webm_read::write_fd;

namespace {

constexpr AVRational kRtpClock = {1, 90000};
constexpr int kIoBufferSize = 1 << 16;

AVCodecID codec_id(VideoCodec codec) {
    switch (codec) {
        case VideoCodec::vp8:
            return AV_CODEC_ID_VP8;
        case VideoCodec::vp9:
            return AV_CODEC_ID_VP9;
        case VideoCodec::av1:
            return AV_CODEC_ID_AV1;
        case VideoCodec::h264:
            return AV_CODEC_ID_H264;
        default:
            return AV_CODEC_ID_NONE;
    }
}

// The codec private data the container wants, from a key frame: H.264's SPS and PPS (Annex B,
// which the muxer turns into an avcC record), AV1's sequence header OBU (the muxer makes av1C).
std::vector<uint8_t> private_data(VideoCodec codec, const uint8_t* frame, size_t size) {
    std::vector<uint8_t> out;
    if (codec == VideoCodec::h264) {
        h264_each_nal(frame, size, [&](const uint8_t* nal, size_t n) {
            const uint8_t type = n > 0 ? nal[0] & 0x1F : 0;
            if (type != 7 && type != 8) return;
            out.insert(out.end(), {0, 0, 0, 1});
            out.insert(out.end(), nal, nal + n);
        });
    } else if (codec == VideoCodec::av1) {
        const uint8_t* obu = nullptr;
        size_t n = 0;
        if (av1_sequence_header(frame, size, &obu, &n)) out.assign(obu, obu + n);
    }
    return out;
}

}  // namespace

struct MatroskaVideo::Muxer {
    OutputFd out;  // first: the muxer writes through it until it goes
    MuxerOutput mux;
    std::unique_ptr<AVPacket, PacketDeleter> pkt;
};

MatroskaVideo::MatroskaVideo(std::string path, VideoCodec codec)
    : path_(std::move(path)), codec_(codec) {}

MatroskaVideo::~MatroskaVideo() {
    release();
}

void MatroskaVideo::release() {
    if (mux_) {
        mux_->mux.ctx.reset();
        mux_->mux.io.reset();
        mux_->out.fd = -1;  // closed below
    }
    mux_.reset();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void MatroskaVideo::fail(const char* what, int err) {
    if (!failed_) output_failure(path_, what, err);
    failed_ = true;
    release();
}

bool MatroskaVideo::open(const uint8_t* frame, size_t size) {
    if (!load_libav()) {
        fail("cannot load libavformat", 0);
        return false;
    }
    fd_ = create_output_fd(path_);
    if (fd_ < 0) {
        failed_ = true;  // reported
        return false;
    }
    mux_ = std::make_unique<Muxer>();
    mux_->out.fd = fd_;
    int err = 0;
    if (!open_muxer("matroska", &mux_->out, kIoBufferSize, &mux_->mux, &err)) {
        fail("cannot start the Matroska muxer", err);
        return false;
    }
    mux_->pkt.reset(av.av_packet_alloc());
    if (!mux_->pkt) {
        fail("cannot start the Matroska muxer", ENOMEM);
        return false;
    }
    AVFormatContext* raw = mux_->mux.ctx.get();
    AVStream* st = av.avformat_new_stream(raw, nullptr);
    if (!st) {
        fail("cannot start the Matroska muxer", ENOMEM);
        return false;
    }
    st->time_base = kRtpClock;
    AVCodecParameters* par = st->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = codec_id(codec_);
    int width = 0, height = 0;
    if (codec_ == VideoCodec::vp9) vp9_frame_size(frame, size, &width, &height);
    if (codec_ == VideoCodec::h264) h264_frame_size(frame, size, &width, &height);
    if (codec_ == VideoCodec::av1) av1_frame_size(frame, size, &width, &height);
    par->width = width;
    par->height = height;
    const std::vector<uint8_t> priv = private_data(codec_, frame, size);
    if (!priv.empty()) {
        par->extradata =
            static_cast<uint8_t*>(av.av_mallocz(priv.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!par->extradata) {
            fail("cannot start the Matroska muxer", ENOMEM);
            return false;
        }
        memcpy(par->extradata, priv.data(), priv.size());
        par->extradata_size = static_cast<int>(priv.size());
    }
    if (av.avformat_write_header(raw, nullptr) < 0) {
        fail("cannot write", mux_->out.error);
        return false;
    }
    return true;
}

void MatroskaVideo::write(const uint8_t* frame, size_t size, uint32_t timestamp) {
    if (failed_ || finished_ || !frame || size == 0 || size > INT32_MAX) return;
    if (!mux_ && !open(frame, size)) return;
    // RTP timestamps wrap at 32 bits; a step back (a restarted sender) keeps the times rising.
    if (have_time_) {
        const int32_t step = static_cast<int32_t>(timestamp - last_ts_);
        pts_ += step > 0 ? step : 1;
    }
    have_time_ = true;
    last_ts_ = timestamp;
    AVPacket* pkt = mux_->pkt.get();
    pkt->data = const_cast<uint8_t*>(frame);
    pkt->size = static_cast<int>(size);
    pkt->stream_index = 0;
    // The muxer keeps its own time base (Matroska's milliseconds), set when the header is
    // written: the 90 kHz times are moved onto it.
    pkt->pts = pkt->dts =
        av.av_rescale_q(pts_, kRtpClock, mux_->mux.ctx.get()->streams[0]->time_base);
    pkt->duration = 0;
    pkt->flags = codec_key_frame(codec_, frame, static_cast<int>(size)) ? AV_PKT_FLAG_KEY : 0;
    if (av.av_write_frame(mux_->mux.ctx.get(), pkt) < 0) fail("cannot write", mux_->out.error);
}

void MatroskaVideo::close() {
    if (finished_ || failed_ || !mux_) return;
    finished_ = true;
    bool ok = av.av_write_trailer(mux_->mux.ctx.get()) >= 0;
    av.avio_flush(mux_->mux.io.get());
    ok = ok && mux_->mux.io->error == 0 && mux_->out.error == 0;
    const int err = mux_->out.error;
    mux_->mux.ctx.reset();
    mux_->mux.io.reset();
    mux_->out.fd = -1;
    const int fd = fd_;
    fd_ = -1;
    errno = 0;
    const bool closed = ::close(fd) == 0;
    if (!ok)
        fail("cannot write", err);
    else if (!closed)
        fail("cannot finish writing", errno);
}
