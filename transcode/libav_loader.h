// The FFmpeg libraries, loaded at run time for the units that read or write Matroska, WebM and
// MP4 files (libavformat) and for the meeting composite (libavcodec, libavfilter, libswscale).
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <unistd.h>

#include <memory>

// libavformat and the libraries it pulls in (libavcodec with every codec library of the system)
// are loaded only when a file of theirs is to be read or written: linked, they would cost every
// run tens of megabytes and tens of milliseconds at start. Resolving through the libavformat
// handle also finds the libavcodec and libavutil functions, its dependencies.
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
    X(avio_flush)                     \
    X(av_interleaved_write_frame)     \
    X(avformat_open_input)            \
    X(avformat_close_input)           \
    X(avformat_alloc_context)         \
    X(avformat_find_stream_info)      \
    X(av_read_frame)                  \
    X(av_packet_unref)

// The composite's further functions: its decoders, encoders, scaler and mixer. libavfilter
// depends on libavformat, libavcodec, libswscale and libavutil, so resolving through its handle
// finds all of them; a run without --compose does not load it.
#define LIBAV_COMPOSE_FUNCTIONS(X)     \
    X(av_buffersink_get_frame)         \
    X(av_buffersink_set_frame_size)    \
    X(av_buffersrc_add_frame_flags)    \
    X(av_frame_alloc)                  \
    X(av_frame_clone)                  \
    X(av_frame_free)                   \
    X(av_frame_get_buffer)             \
    X(av_frame_make_writable)          \
    X(av_frame_unref)                  \
    X(av_opt_set)                      \
    X(av_opt_set_int)                  \
    X(av_packet_rescale_ts)            \
    X(avcodec_alloc_context3)          \
    X(avcodec_find_decoder)            \
    X(avcodec_find_encoder_by_name)    \
    X(avcodec_free_context)            \
    X(avcodec_get_name)                \
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
    X(sws_freeContext)                 \
    X(sws_getCachedContext)            \
    X(sws_scale)

struct LibAv {
#define LIBAV_POINTER(name) decltype(&::name) name = nullptr;
    LIBAV_FUNCTIONS(LIBAV_POINTER)
    LIBAV_COMPOSE_FUNCTIONS(LIBAV_POINTER)
#undef LIBAV_POINTER
};

extern LibAv av;

// True when every function of LIBAV_FUNCTIONS is there; tried once.
bool load_libav();
// True when every function of both lists is there; tried once.
bool load_libav_compose();

namespace webm_read {
struct OutputFd;
}

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
struct FrameDeleter {
    void operator()(AVFrame* f) const noexcept { av.av_frame_free(&f); }
};
struct CodecDeleter {
    void operator()(AVCodecContext* c) const noexcept { av.avcodec_free_context(&c); }
};
struct GraphDeleter {
    void operator()(AVFilterGraph* g) const noexcept { av.avfilter_graph_free(&g); }
};
struct SwsDeleter {
    void operator()(SwsContext* s) const noexcept { av.sws_freeContext(s); }
};

// A muxer of `format` writing to `out` through a seekable I/O of `buffer_size` bytes (the muxer
// goes back for the Cues, the duration and the sizes), its track ids from a counter rather than
// random numbers, so that the same inputs give the same file. `ctx` is released before the I/O
// it writes through.
struct MuxerOutput {
    std::unique_ptr<AVIOContext, IoDeleter> io;
    std::unique_ptr<AVFormatContext, FormatDeleter> ctx;
};
// False when the muxer cannot start; `*err` is then ENOMEM or 0.
bool open_muxer(const char* format, webm_read::OutputFd* out, int buffer_size, MuxerOutput* m,
                int* err);
