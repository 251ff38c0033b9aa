#include "webm_readers.h"

extern "C" {
#include <libavformat/avformat.h>
}
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace webm_read {

namespace {
constexpr size_t kInputBufferSize = 1 << 20;
}  // namespace

uint32_t le16(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
}
uint32_t le32(const uint8_t* p) {
    return le16(p) | (le16(p + 2) << 16);
}
uint64_t le64(const uint8_t* p) {
    return le32(p) | (static_cast<uint64_t>(le32(p + 4)) << 32);
}

// An input file: a regular file opened read-only, or nothing. The output names are predictable,
FilePtr open_input(const WebmInput& in, uint64_t* size, std::unique_ptr<char[]>& buffer) {
    if (in.path.empty()) return nullptr;
    // Non-blocking, so that a FIFO under the name cannot stall the open; the flag means nothing
    // for the regular file that is read.
    const int fd = open(in.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (in.written_by_run) output_failure(in.path, "cannot read back for the WebM", errno);
        return nullptr;
    }
    struct stat st;
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const bool same = !in.written_by_run || (static_cast<uint64_t>(st.st_dev) == in.identity.dev &&
                                             static_cast<uint64_t>(st.st_ino) == in.identity.ino);
    FILE* f = regular && same ? fdopen(fd, "rb") : nullptr;
    if (f == nullptr) {
        close(fd);
        if (in.written_by_run)
            output_failure(in.path, "not the file this run wrote: left out of the WebM", 0);
        return nullptr;
    }
    *size = static_cast<uint64_t>(st.st_size);
    if (!buffer) buffer.reset(new (std::nothrow) char[kInputBufferSize]);
    if (buffer) setvbuf(f, buffer.get(), _IOFBF, kInputBufferSize);
    return FilePtr(f);
}

// One packet ready for the muxer, in the source's own clock.

bool vp8_key_frame(const uint8_t* data, size_t size) {
    return size > 0 && (data[0] & 1) == 0;
}
bool vp8_key_frame_size(const uint8_t* data, size_t size, int* width, int* height) {
    if (size < 10 || !vp8_key_frame(data, size)) return false;
    if (data[3] != 0x9d || data[4] != 0x01 || data[5] != 0x2a) return false;
    const int w = static_cast<int>(le16(data + 6) & 0x3fff);
    const int h = static_cast<int>(le16(data + 8) & 0x3fff);
    if (w == 0 || h == 0) return false;
    *width = w;
    *height = h;
    return true;
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

}  // namespace webm_read
