#include "capture_files.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace pcapin {
namespace {

constexpr size_t kFileBuffer = 1u << 20;

void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_le64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

void CaptureFiles::FileCloser::operator()(FILE* f) const {
    if (f) fclose(f);
}

CaptureFiles::CaptureFiles(std::string dir, uint32_t split_seconds)
    : dir_(std::move(dir)), split_us_(static_cast<uint64_t>(split_seconds) * 1000000) {
    if (!dir_.empty() && dir_.back() != '/') dir_ += '/';
}

CaptureFiles::~CaptureFiles() {
    close();
}

void CaptureFiles::fail(const std::string& what) {
    if (error_.empty()) error_ = what;
}

void CaptureFiles::put_record(void* ctx, int kind, uint64_t time_us, uint32_t uid,
                              const uint8_t* packet, size_t len) {
    static_cast<CaptureFiles*>(ctx)->put(kind, time_us, uid, packet, len);
}

void CaptureFiles::put(int kind, uint64_t time_us, uint32_t uid, const uint8_t* packet,
                       size_t len) {
    if (!error_.empty()) return;
    Current& c = kinds_[kind == kAudio];
    // Capture times that go backwards stay in the current file, so names keep rising.
    if (c.file && time_us >= c.start_us && time_us - c.start_us >= split_us_) close_current(c);
    if (!c.file) {
        const std::string name = (kind == kAudio ? "a_" : "v_") + std::to_string(time_us / 1000) +
                                 (kind == kAudio ? ".audio" : ".video");
        c.path = dir_ + name;
        c.file.reset(fopen(c.path.c_str(), "wbx"));
        if (!c.file) {
            fail("cannot create " + c.path + ": " + strerror(errno));
            return;
        }
        c.buffer.resize(kFileBuffer);
        setvbuf(c.file.get(), c.buffer.data(), _IOFBF, c.buffer.size());
        c.start_us = time_us;
        files_.push_back(c.path);
    }
    uint8_t head[16];
    size_t head_len;
    if (kind == kAudio) {
        put_le64(head, time_us);
        put_le32(head + 8, uid);
        put_le32(head + 12, static_cast<uint32_t>(len));
        head_len = 16;
    } else {
        put_le32(head, static_cast<uint32_t>(len));
        put_le32(head + 4, uid);
        head_len = 8;
    }
    if (fwrite(head, 1, head_len, c.file.get()) != head_len ||
        fwrite(packet, 1, len, c.file.get()) != len) {
        fail("cannot write " + c.path + ": " + strerror(errno));
        return;
    }
    ++c.records;
}

bool CaptureFiles::close_current(Current& c) {
    if (!c.file) return true;
    FILE* f = c.file.release();
    const bool flushed = fflush(f) == 0;
    const int flush_errno = errno;
    const bool closed = fclose(f) == 0;
    if (!flushed || !closed) {
        fail("cannot write " + c.path + ": " + strerror(flushed ? errno : flush_errno));
        return false;
    }
    return true;
}

bool CaptureFiles::close() {
    close_current(kinds_[0]);
    close_current(kinds_[1]);
    return error_.empty();
}

}  // namespace pcapin
