#include "small_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace smallfile {

ReadStatus read_small_file(const std::string& path, size_t max_bytes, std::string* text,
                           int* error_number) {
    text->clear();
    // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for one.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error_number = errno;
        return ReadStatus::cannot_open;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return ReadStatus::cannot_read;
    }
    // Regular files and devices are read as usual; a FIFO or pipe is waited on, a while at a time.
    const bool waits = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
    if (!waits) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            close(fd);
            return ReadStatus::cannot_read;
        }
    }
    char buf[4096];
    ReadStatus status = ReadStatus::ok;
    for (;;) {
        if (text->size() >= max_bytes) {
            status = ReadStatus::too_large;
            break;
        }
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            text->append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) break;
        if (errno == EINTR) continue;
        if (errno == EAGAIN && waits) {
            struct pollfd p = {fd, POLLIN, 0};
            const int ready = poll(&p, 1, kWaitSeconds * 1000);
            if (ready > 0 || (ready < 0 && errno == EINTR)) continue;
            status = ReadStatus::no_data;
            break;
        }
        status = ReadStatus::cannot_read;
        break;
    }
    close(fd);
    return status;
}

}  // namespace smallfile
