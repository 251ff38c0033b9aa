#include "libav.h"

#include <dlfcn.h>

#include <string>

namespace {

ComposeLibav table;

}  // namespace

const ComposeLibav* compose_libav() {
    static const bool loaded = [] {
        const std::string soname = "libavfilter.so." + std::to_string(LIBAVFILTER_VERSION_MAJOR);
        void* handle = dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return false;
        bool all = true;
#define COMPOSE_LIBAV_RESOLVE(name)                                            \
    table.name = reinterpret_cast<decltype(table.name)>(dlsym(handle, #name)); \
    all = all && table.name != nullptr;
        COMPOSE_LIBAV_FUNCTIONS(COMPOSE_LIBAV_RESOLVE)
#undef COMPOSE_LIBAV_RESOLVE
        // The libraries report through their own log; the converter's output stays its own.
        if (all) table.av_log_set_level(AV_LOG_QUIET);
        return all;
    }();
    return loaded ? &table : nullptr;
}

void AvFrameDeleter::operator()(AVFrame* f) const noexcept {
    compose_libav()->av_frame_free(&f);
}
void AvPacketDeleter::operator()(AVPacket* p) const noexcept {
    compose_libav()->av_packet_free(&p);
}
void AvCodecDeleter::operator()(AVCodecContext* c) const noexcept {
    compose_libav()->avcodec_free_context(&c);
}
void AvGraphDeleter::operator()(AVFilterGraph* g) const noexcept {
    compose_libav()->avfilter_graph_free(&g);
}
void SwsDeleter::operator()(SwsContext* s) const noexcept {
    compose_libav()->sws_freeContext(s);
}
