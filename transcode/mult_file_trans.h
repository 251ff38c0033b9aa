// One conversion pass: reads the capture files of one kind as one stream of records, splits it by
// user id and hands each record to that user's writer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "input_loans.h"
#include "stream_observer.h"
#include "user_stream.h"
#include "utils.h"

// Told of each user's stream as the pass makes it, before its first record, so that units that
// watch streams (the recording clock, the composite) can add their observers.
struct StreamWatch {
    void (*made)(void* context, uint32_t uid, bool video, StreamObservers& observers) = nullptr;
    void* context = nullptr;
};

class MultFileTrans {
public:
    MultFileTrans();
    ~MultFileTrans();
    MultFileTrans(const MultFileTrans&) = delete;
    MultFileTrans& operator=(const MultFileTrans&) = delete;

    void set_all_files(const std::vector<std::string>& files);
    void start_trans_code(bool video);
    void start_trans_video();
    void start_trans_audio();
    bool get_next_file();

    // The next record's packet bytes, valid until the next read; null with *length 0 at the end.
    const uint8_t* read_next_video_data(uint64_t* length, uint32_t* uid);
    std::unique_ptr<uint8_t[]> read_next_audio_data(uint64_t* length, uint32_t* uid);
    int read_audio_info(uint64_t* length, uint32_t* uid);

    std::deque<std::string> file_queue;
    FilePtr cur_file;
    // Each user's stream of the kind being converted, in ascending user id; the end of the pass
    // closes them in that order.
    std::map<uint32_t, std::unique_ptr<UserStream>> streams;
    StreamWatch watch;

private:
    bool fill(uint64_t n);
    const uint8_t* take(uint64_t n);
    bool remaining_at_least(uint64_t n) const;
    bool skip(uint64_t n);
    void refuse(uint64_t at, uint64_t len, const char* why);
    bool fill_record(uint64_t at, uint64_t len);
    void move_to_spare_buffer(size_t have);
    void end_loans();
    UserStream* stream_of(uint32_t uid, bool video);
    void end_pass();

    std::string cur_path_;        // the current file, for messages
    uint64_t cur_size_ = 0;       // size of the current file
    uint64_t cur_pos_ = 0;        // bytes of it consumed as records
    uint32_t file_index_ = 0;     // of the current file in the pass's list, plus one (0: none yet)
    uint8_t audio_lead_[8] = {};  // the current audio record's leading bytes
    // Read-ahead of the current file. Records are parsed where they lie in it, so a video record
    // reaches its writer without being copied; it is valid until the next read.
    std::unique_ptr<uint8_t[]> in_buf_;
    size_t in_cap_ = 0;
    size_t in_begin_ = 0;  // first byte not yet consumed
    size_t in_end_ = 0;    // end of the bytes read
    size_t in_high_ = 0;   // end of the bytes read into the buffer since it was last switched to
    // While FEC recovery borrows packets from the read-ahead instead of copying them, the buffer
    // read before the current one stays as it was until the read-ahead needs it again.
    InputLoans loans_;
    std::unique_ptr<uint8_t[]> spare_buf_;
    size_t spare_cap_ = 0;
};
