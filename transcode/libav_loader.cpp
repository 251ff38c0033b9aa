#include "libav_loader.h"

#include <dlfcn.h>

#include <cerrno>
#include <string>

#include "webm_readers.h"

LibAv av;

namespace {

#define LIBAV_RESOLVE(name)                                              \
    av.name = reinterpret_cast<decltype(av.name)>(dlsym(handle, #name)); \
    all = all && av.name != nullptr;

}  // namespace

bool load_libav() {
    static const bool loaded = [] {
        const std::string soname = "libavformat.so." + std::to_string(LIBAVFORMAT_VERSION_MAJOR);
        void* handle = dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return false;
        bool all = true;
        LIBAV_FUNCTIONS(LIBAV_RESOLVE)
        // libavformat reports through its own log; the converter's output stays its own.
        if (all) av.av_log_set_level(AV_LOG_QUIET);
        return all;
    }();
    return loaded;
}

bool load_libav_compose() {
    static const bool loaded = [] {
        if (!load_libav()) return false;
        const std::string soname = "libavfilter.so." + std::to_string(LIBAVFILTER_VERSION_MAJOR);
        void* handle = dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return false;
        bool all = true;
        LIBAV_COMPOSE_FUNCTIONS(LIBAV_RESOLVE)
        return all;
    }();
    return loaded;
}

bool open_muxer(const char* format, webm_read::OutputFd* out, int buffer_size, MuxerOutput* m,
                int* err) {
    *err = 0;
    AVFormatContext* raw = nullptr;
    if (av.avformat_alloc_output_context2(&raw, nullptr, format, nullptr) < 0 || raw == nullptr)
        return false;
    m->ctx.reset(raw);
    raw->flags |= AVFMT_FLAG_BITEXACT;
    auto* buffer = static_cast<unsigned char*>(av.av_malloc(static_cast<size_t>(buffer_size)));
    m->io.reset(buffer ? av.avio_alloc_context(buffer, buffer_size, 1, out, nullptr,
                                               webm_read::write_fd, webm_read::seek_fd)
                       : nullptr);
    if (!m->io) {
        av.av_free(buffer);
        *err = ENOMEM;
        return false;
    }
    m->io->seekable = AVIO_SEEKABLE_NORMAL;
    raw->pb = m->io.get();
    return true;
}
