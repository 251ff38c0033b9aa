// libavformat loaded at run time, for the units that write or read Matroska, WebM and MP4 files.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include <unistd.h>

#include <memory>

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
    X(avio_flush)                     \
    X(av_interleaved_write_frame)     \
    X(avformat_open_input)            \
    X(avformat_close_input)           \
    X(avformat_alloc_context)         \
    X(avformat_find_stream_info)      \
    X(av_read_frame)                  \
    X(av_packet_unref)

struct LibAv {
#define LIBAV_POINTER(name) decltype(&::name) name = nullptr;
    LIBAV_FUNCTIONS(LIBAV_POINTER)
#undef LIBAV_POINTER
};

extern LibAv av;

// True when every function is there; tried once.
bool load_libav();

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
