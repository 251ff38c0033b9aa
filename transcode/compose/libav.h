// The FFmpeg libraries of the meeting composite, loaded at run time the first time a composite is
// made: linked, libavfilter and everything it pulls in would cost every run of the converter tens
// of megabytes and milliseconds at start. libavfilter depends on libavformat, libavcodec,
// libswscale and libavutil, so resolving through its handle finds all of their functions.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#define COMPOSE_LIBAV_FUNCTIONS(X)     \
    X(av_buffersink_get_frame)         \
    X(av_buffersink_set_frame_size)    \
    X(av_buffersrc_add_frame_flags)    \
    X(av_channel_layout_default)       \
    X(av_frame_alloc)                  \
    X(av_frame_clone)                  \
    X(av_frame_free)                   \
    X(av_frame_get_buffer)             \
    X(av_frame_make_writable)          \
    X(av_frame_unref)                  \
    X(av_free)                         \
    X(av_freep)                        \
    X(av_interleaved_write_frame)      \
    X(av_log_set_level)                \
    X(av_malloc)                       \
    X(av_opt_set)                      \
    X(av_opt_set_int)                  \
    X(av_packet_alloc)                 \
    X(av_packet_free)                  \
    X(av_packet_rescale_ts)            \
    X(av_packet_unref)                 \
    X(av_rescale_q)                    \
    X(av_write_trailer)                \
    X(avcodec_alloc_context3)          \
    X(avcodec_find_decoder)            \
    X(avcodec_find_encoder_by_name)    \
    X(avcodec_free_context)            \
    X(avcodec_open2)                   \
    X(avcodec_parameters_from_context) \
    X(avcodec_receive_frame)           \
    X(avcodec_receive_packet)          \
    X(avcodec_send_frame)              \
    X(avcodec_send_packet)             \
    X(avfilter_get_by_name)            \
    X(avfilter_graph_alloc)            \
    X(avfilter_graph_config)           \
    X(avfilter_graph_create_filter)    \
    X(avfilter_graph_free)             \
    X(avfilter_link)                   \
    X(avformat_alloc_output_context2)  \
    X(avformat_free_context)           \
    X(avformat_new_stream)             \
    X(avformat_write_header)           \
    X(avio_alloc_context)              \
    X(avio_context_free)               \
    X(avio_flush)                      \
    X(sws_freeContext)                 \
    X(sws_getCachedContext)            \
    X(sws_scale)

struct ComposeLibav {
#define COMPOSE_LIBAV_POINTER(name) decltype(&::name) name = nullptr;
    COMPOSE_LIBAV_FUNCTIONS(COMPOSE_LIBAV_POINTER)
#undef COMPOSE_LIBAV_POINTER
};

// The loaded functions, or null when a library or one of its functions is missing (tried once).
const ComposeLibav* compose_libav();

// RAII for the objects the composite holds.
struct AvFrameDeleter {
    void operator()(AVFrame* f) const noexcept;
};
struct AvPacketDeleter {
    void operator()(AVPacket* p) const noexcept;
};
struct AvCodecDeleter {
    void operator()(AVCodecContext* c) const noexcept;
};
struct AvGraphDeleter {
    void operator()(AVFilterGraph* g) const noexcept;
};
struct SwsDeleter {
    void operator()(SwsContext* s) const noexcept;
};
