#include "utils.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <new>
#include <set>

int64_t get_time_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

namespace {

bool g_output_failed = false;
// Names of the files that failed, for the run report; only failures are kept, so it stays small.
std::set<std::string> g_failed_outputs;
// Every file create_output made, one entry per user and kind.
std::map<std::string, FileIdentity> g_created_outputs;

constexpr size_t kOutputBufferSize = 256 * 1024;
// 64 large buffers: every writer of a usual recording gets one, and memory stays bounded when a
// capture holds thousands of users.
constexpr size_t kOutputBufferBudget = 64;
size_t g_output_buffers_in_use = 0;

}  // namespace

void OutputBuffer::attach(FILE* f) {
    if (data_ || g_output_buffers_in_use >= kOutputBufferBudget) return;
    data_.reset(new (std::nothrow) char[kOutputBufferSize]);
    if (!data_) return;
    ++g_output_buffers_in_use;
    setvbuf(f, data_.get(), _IOFBF, kOutputBufferSize);
}

OutputBuffer::~OutputBuffer() {
    if (data_) --g_output_buffers_in_use;
}

void output_failure(const std::string& name, const char* what, int err) {
    g_output_failed = true;
    g_failed_outputs.insert(name);
    if (err != 0)
        fprintf(stderr, "transcode: %s: %s: %s\n", name.c_str(), what, strerror(err));
    else
        fprintf(stderr, "transcode: %s: %s\n", name.c_str(), what);
}

bool output_failure_seen() {
    return g_output_failed;
}

bool output_failed(const std::string& name) {
    return g_failed_outputs.count(name) != 0;
}

void output_failure_reset() {
    g_output_failed = false;
    g_failed_outputs.clear();
    g_created_outputs.clear();
}

bool output_created(const std::string& name, FileIdentity* id) {
    const auto it = g_created_outputs.find(name);
    if (it == g_created_outputs.end()) return false;
    *id = it->second;
    return true;
}

int open_output_fd(const std::string& path) {
    // The names are predictable; a symlink planted under one must not redirect the write.
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
}

// The later steps read back only the files this run created; they know them by device and inode.
static void remember_created(const std::string& name, int fd) {
    struct stat st;
    if (fstat(fd, &st) == 0)
        g_created_outputs[name] = {static_cast<uint64_t>(st.st_dev),
                                   static_cast<uint64_t>(st.st_ino)};
    else
        g_created_outputs.erase(name);
}

FilePtr create_output(const std::string& name, OutputBuffer& buffer) {
    errno = 0;
    const int fd = open_output_fd(name);
    FilePtr f(fd >= 0 ? fdopen(fd, "wb") : nullptr);
    if (!f) {
        const int err = errno;
        if (fd >= 0) close(fd);
        output_failure(name, "cannot create", err);
        return nullptr;
    }
    remember_created(name, fd);
    buffer.attach(f.get());
    return f;
}

int create_output_fd(const std::string& name) {
    errno = 0;
    const int fd = open_output_fd(name);
    if (fd < 0) {
        output_failure(name, "cannot create", errno);
        return -1;
    }
    remember_created(name, fd);
    return fd;
}

void discard_output(FilePtr& f) {
    if (!f) return;
    // What stdio still holds would land after the failed write, past a hole.
    __fpurge(f.get());
    f.reset();
}

void close_output(FilePtr& f, const std::string& name) {
    if (!f) return;
    // fclose flushes what stdio still holds: a full disk often shows up only here.
    errno = 0;
    int rc = fclose(f.release());
    if (rc != 0) output_failure(name, "cannot finish writing", errno);
}
