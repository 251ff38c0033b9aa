// Writes sorted records as capture files: `v_<ms>.video` and `a_<ms>.audio` in one directory, a
// new file of a kind every `split_seconds` of capture time, named from the capture time of its
// first packet in milliseconds so that the converter's ordering by name is capture order.
//
// Video record: Length (u32 LE), user id (u32 LE), packet. Audio record: capture time in
// microseconds (u64 LE), user id (u32 LE), Length (u32 LE), packet.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "packet_sorter.h"

namespace pcapin {

class CaptureFiles {
public:
    CaptureFiles(std::string dir, uint32_t split_seconds);
    ~CaptureFiles();
    CaptureFiles(const CaptureFiles&) = delete;
    CaptureFiles& operator=(const CaptureFiles&) = delete;

    RecordSink sink() { return RecordSink{this, &CaptureFiles::put_record}; }
    // Closes the open files. False when a write or close failed; error() says which.
    bool close();
    const std::string& error() const { return error_; }
    const std::vector<std::string>& files() const { return files_; }
    uint64_t records(int kind) const { return kinds_[kind == kAudio].records; }

private:
    struct FileCloser {
        void operator()(FILE* f) const;
    };
    struct Current {
        std::unique_ptr<FILE, FileCloser> file;
        std::string path;
        uint64_t start_us = 0;
        uint64_t records = 0;
        std::vector<char> buffer;
    };

    static void put_record(void* ctx, int kind, uint64_t time_us, uint32_t uid,
                           const uint8_t* packet, size_t len);
    void put(int kind, uint64_t time_us, uint32_t uid, const uint8_t* packet, size_t len);
    bool close_current(Current& c);
    void fail(const std::string& what);

    std::string dir_;
    uint64_t split_us_;
    Current kinds_[2];
    std::vector<std::string> files_;
    std::string error_;
};

}  // namespace pcapin
