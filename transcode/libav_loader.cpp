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

#if LIBAVFORMAT_VERSION_MAJOR >= 61
int write_fd(void* opaque, const uint8_t* buf, int size) {
#else
int write_fd(void* opaque, uint8_t* buf, int size) {
#endif
    auto* out = static_cast<OutputFd*>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t n = write(out->fd, buf + done, static_cast<size_t>(size - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (out->error == 0) out->error = n < 0 ? errno : EIO;
            return AVERROR(EIO);
        }
        done += static_cast<int>(n);
    }
    return done;
}

int64_t seek_fd(void* opaque, int64_t offset, int whence) {
    auto* out = static_cast<OutputFd*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat st;
        return fstat(out->fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    }
    const off_t pos = lseek(out->fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    if (pos < 0) {
        if (out->error == 0) out->error = errno;
        return AVERROR(errno);
    }
    return static_cast<int64_t>(pos);
}
