#include "libav_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

LibAv av;

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
