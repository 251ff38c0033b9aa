#include "meeting_support.h"

#include <ogg/ogg.h>
#include <opus/opus.h>
#include <vpx/vp8cx.h>
#include <vpx/vpx_encoder.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace meeting_test {

namespace {

void put_le(std::vector<uint8_t>& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

bool contains(const std::vector<int>& v, int x) {
    return std::find(v.begin(), v.end(), x) != v.end();
}

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};

}  // namespace

std::vector<int> every_nth(int count, int every, int first) {
    std::vector<int> out;
    for (int i = first; i < count; i += every) out.push_back(i);
    return out;
}

int write_ivf(const std::string& path, const std::vector<VideoPiece>& pieces, int luma,
              const std::vector<int>& lost, uint32_t rtp_base) {
    std::unique_ptr<FILE, FileCloser> f(fopen(path.c_str(), "wb"));
    if (!f) throw std::runtime_error("cannot create " + path);
    std::vector<uint8_t> header = {'D', 'K', 'I', 'F'};
    put_le(header, 0, 2);
    put_le(header, 32, 2);
    header.insert(header.end(), {'V', 'P', '8', '0'});
    put_le(header, static_cast<uint64_t>(pieces.empty() ? 640 : pieces[0].width), 2);
    put_le(header, static_cast<uint64_t>(pieces.empty() ? 480 : pieces[0].height), 2);
    put_le(header, 90000, 4);
    put_le(header, 1, 4);
    put_le(header, 0, 4);
    put_le(header, 0, 4);
    fwrite(header.data(), 1, header.size(), f.get());
    int index = 0;
    int written = 0;
    for (const VideoPiece& piece : pieces) {
        vpx_codec_enc_cfg_t cfg;
        vpx_codec_enc_config_default(vpx_codec_vp8_cx(), &cfg, 0);
        cfg.g_w = static_cast<unsigned>(piece.width);
        cfg.g_h = static_cast<unsigned>(piece.height);
        cfg.g_timebase = {1, piece.fps};
        cfg.rc_target_bitrate = 300;
        cfg.g_lag_in_frames = 0;
        cfg.g_threads = 1;
        vpx_codec_ctx_t codec;
        if (vpx_codec_enc_init(&codec, vpx_codec_vp8_cx(), &cfg, 0) != VPX_CODEC_OK)
            throw std::runtime_error("vpx_codec_enc_init");
        vpx_codec_control(&codec, VP8E_SET_CPUUSED, 16);
        vpx_image_t img;
        vpx_img_alloc(&img, VPX_IMG_FMT_I420, cfg.g_w, cfg.g_h, 1);
        for (unsigned y = 0; y < cfg.g_h; ++y)
            memset(img.planes[0] + y * img.stride[0], luma, cfg.g_w);
        for (int p = 1; p <= 2; ++p)
            for (unsigned y = 0; y < (cfg.g_h + 1) / 2; ++y)
                memset(img.planes[p] + y * img.stride[p], 128, (cfg.g_w + 1) / 2);
        const int64_t frames = piece.ms * piece.fps / 1000;
        for (int64_t k = 0; k < frames; ++k, ++index) {
            if (vpx_codec_encode(&codec, &img, k, 1, 0, VPX_DL_REALTIME) != VPX_CODEC_OK)
                throw std::runtime_error("vpx_codec_encode");
            vpx_codec_iter_t iter = nullptr;
            while (const vpx_codec_cx_pkt_t* pkt = vpx_codec_get_cx_data(&codec, &iter)) {
                if (pkt->kind != VPX_CODEC_CX_FRAME_PKT || contains(lost, index)) continue;
                const uint32_t ts =
                    rtp_base + static_cast<uint32_t>((piece.start_ms + k * 1000 / piece.fps) * 90);
                std::vector<uint8_t> head;
                put_le(head, pkt->data.frame.sz, 4);
                put_le(head, ts, 8);
                fwrite(head.data(), 1, head.size(), f.get());
                fwrite(pkt->data.frame.buf, 1, pkt->data.frame.sz, f.get());
                ++written;
            }
        }
        vpx_img_free(&img);
        vpx_codec_destroy(&codec);
    }
    return written;
}

int write_ogg_opus(const std::string& path, const std::vector<AudioPiece>& pieces,
                   const std::vector<int>& lost) {
    std::unique_ptr<FILE, FileCloser> f(fopen(path.c_str(), "wb"));
    if (!f) throw std::runtime_error("cannot create " + path);
    int error = 0;
    OpusEncoder* enc = opus_encoder_create(48000, 1, OPUS_APPLICATION_AUDIO, &error);
    if (enc == nullptr) throw std::runtime_error("opus_encoder_create");
    int pre_skip = 0;
    opus_encoder_ctl(enc, OPUS_GET_LOOKAHEAD(&pre_skip));
    ogg_stream_state os;
    ogg_stream_init(&os, 1234);
    auto flush = [&](bool force) {
        ogg_page page;
        while (force ? ogg_stream_flush(&os, &page) : ogg_stream_pageout(&os, &page)) {
            fwrite(page.header, 1, static_cast<size_t>(page.header_len), f.get());
            fwrite(page.body, 1, static_cast<size_t>(page.body_len), f.get());
        }
    };
    std::vector<uint8_t> head = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, 1};
    put_le(head, static_cast<uint64_t>(pre_skip), 2);
    put_le(head, 48000, 4);
    put_le(head, 0, 2);
    head.push_back(0);
    ogg_packet op{};
    op.packet = head.data();
    op.bytes = static_cast<long>(head.size());
    op.b_o_s = 1;
    ogg_stream_packetin(&os, &op);
    flush(true);
    std::vector<uint8_t> tags = {'O', 'p', 'u', 's', 'T', 'a', 'g', 's'};
    put_le(tags, 4, 4);
    tags.insert(tags.end(), {'t', 'e', 's', 't'});
    put_le(tags, 0, 4);
    op = ogg_packet{};
    op.packet = tags.data();
    op.bytes = static_cast<long>(tags.size());
    op.packetno = 1;
    ogg_stream_packetin(&os, &op);
    flush(true);

    int index = 0;
    int written = 0;
    const int64_t origin_ms = pieces.empty() ? 0 : pieces[0].start_ms;
    std::vector<std::pair<std::vector<uint8_t>, int64_t>> packets;
    for (const AudioPiece& piece : pieces) {
        float pcm[960];
        for (int64_t k = 0; k < piece.ms / 20; ++k, ++index) {
            const int64_t first = (piece.start_ms - origin_ms) * 48 + k * 960;
            for (int i = 0; i < 960; ++i)
                pcm[i] = static_cast<float>(piece.amplitude *
                                            std::sin(2 * M_PI * piece.hz * (first + i) / 48000.0));
            uint8_t data[1500];
            const int n = opus_encode_float(enc, pcm, 960, data, sizeof(data));
            if (n < 0) throw std::runtime_error("opus_encode_float");
            if (contains(lost, index)) continue;
            packets.emplace_back(std::vector<uint8_t>(data, data + n), first + 960 + pre_skip);
        }
    }
    for (size_t i = 0; i < packets.size(); ++i) {
        op = ogg_packet{};
        op.packet = packets[i].first.data();
        op.bytes = static_cast<long>(packets[i].first.size());
        op.granulepos = packets[i].second;
        op.packetno = static_cast<int64_t>(i) + 2;
        op.e_o_s = i + 1 == packets.size();
        ogg_stream_packetin(&os, &op);
        // One packet a page: every packet carries its own time.
        flush(true);
        ++written;
    }
    ogg_stream_clear(&os);
    opus_encoder_destroy(enc);
    return written;
}

}  // namespace meeting_test

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace meeting_test {

DecodedComposite decode_composite(const std::string& path, const std::vector<int>& keep_frames) {
    DecodedComposite out;
    av_log_set_level(AV_LOG_QUIET);
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) {
        out.error = "cannot open " + path;
        return out;
    }
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> input(
        ctx, [](AVFormatContext* c) { avformat_close_input(&c); });
    avformat_find_stream_info(ctx, nullptr);
    out.format = ctx->iformat->name;
    std::vector<AVCodecContext*> decoders(ctx->nb_streams, nullptr);
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVCodecParameters* par = ctx->streams[i]->codecpar;
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        if (codec == nullptr) continue;
        decoders[i] = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(decoders[i], par);
        decoders[i]->pkt_timebase = ctx->streams[i]->time_base;
        avcodec_open2(decoders[i], codec, nullptr);
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            out.video_codec = codec->name;
            out.width = par->width;
            out.height = par->height;
        } else {
            out.have_audio = true;
        }
    }
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto take = [&](unsigned index) {
        AVCodecContext* dec = decoders[index];
        const AVStream* st = ctx->streams[index];
        while (avcodec_receive_frame(dec, frame) >= 0) {
            if (dec->codec_type == AVMEDIA_TYPE_VIDEO) {
                const double end =
                    static_cast<double>(frame->pts + frame->pkt_duration) * av_q2d(st->time_base);
                out.video_end = std::max(out.video_end, end);
                if (contains(keep_frames, out.video_frames)) {
                    std::vector<uint8_t>& y = out.luma[out.video_frames];
                    for (int row = 0; row < frame->height; ++row)
                        y.insert(y.end(), frame->data[0] + row * frame->linesize[0],
                                 frame->data[0] + row * frame->linesize[0] + frame->width);
                }
                ++out.video_frames;
            } else {
                const double start = static_cast<double>(frame->pts) * av_q2d(st->time_base);
                for (int s = 0; s < frame->nb_samples; ++s)
                    for (int c = 0; c < frame->ch_layout.nb_channels; ++c) {
                        const float v =
                            frame->format == AV_SAMPLE_FMT_FLTP
                                ? reinterpret_cast<const float*>(frame->data[c])[s]
                                : reinterpret_cast<const float*>(
                                      frame->data[0])[s * frame->ch_layout.nb_channels + c];
                        out.audio_peak = std::max(out.audio_peak, std::fabs(double{v}));
                        if (out.audio_onset < 0 && std::fabs(v) > 0.05)
                            out.audio_onset = start + s / 48000.0;
                    }
                out.audio_samples += frame->nb_samples;
            }
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(ctx, pkt) >= 0) {
        const unsigned index = static_cast<unsigned>(pkt->stream_index);
        if (decoders[index] != nullptr && avcodec_send_packet(decoders[index], pkt) < 0 &&
            out.error.empty())
            out.error = "a packet of stream " + std::to_string(index) + " does not decode";
        av_packet_unref(pkt);
        if (decoders[index] != nullptr) take(index);
    }
    for (unsigned i = 0; i < decoders.size(); ++i) {
        if (decoders[i] == nullptr) continue;
        avcodec_send_packet(decoders[i], nullptr);
        take(i);
        avcodec_free_context(&decoders[i]);
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    return out;
}

double mean_luma(const DecodedComposite& d, int frame, int x, int y, int w, int h) {
    auto it = d.luma.find(frame);
    if (it == d.luma.end() || w <= 0 || h <= 0) return -1;
    double sum = 0;
    for (int row = y; row < y + h; ++row)
        for (int col = x; col < x + w; ++col)
            sum += it->second[static_cast<size_t>(row) * static_cast<size_t>(d.width) +
                              static_cast<size_t>(col)];
    return sum / (static_cast<double>(w) * h);
}

}  // namespace meeting_test
