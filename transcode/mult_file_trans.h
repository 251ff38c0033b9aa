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

#include "fec_feed.h"
#include "input_loans.h"
#include "reorder_window.h"
#include "stream_unwrap.h"
#include "user_audio.h"
#include "user_video.h"
#include "utils.h"

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
    std::map<uint32_t, std::unique_ptr<userVideo>> video_writers;
    std::map<uint32_t, std::unique_ptr<muopus::user_audio>> audio_writers;
    // With --repair, the FEC recovery of each user's video stream that carries FEC. Declared before
    // the reorder stages, which call into it, so that it is destroyed after them.
    std::map<uint32_t, std::unique_ptr<FecFeed>> video_fec;
    // With --repair, each user's packets pass a reorder stage on their way to the writer.
    std::map<uint32_t, std::unique_ptr<ReorderWindow>> video_reorder;
    std::map<uint32_t, std::unique_ptr<ReorderWindow>> audio_reorder;
    // With --repair, in front of the reorder stage: RED, RTX, FEC and probes unwrapped or set
    // aside.
    std::map<uint32_t, std::unique_ptr<streams::StreamUnwrap>> video_unwrap;
    std::map<uint32_t, std::unique_ptr<streams::StreamUnwrap>> audio_unwrap;
    // Without --repair: a glance at each stream, to suggest --repair when it holds wrapped packets.
    std::map<uint32_t, streams::WrapSniffer> video_sniff;
    std::map<uint32_t, streams::WrapSniffer> audio_sniff;

private:
    bool fill(uint64_t n);
    const uint8_t* take(uint64_t n);
    bool remaining_at_least(uint64_t n) const;
    bool skip(uint64_t n);
    void refuse(uint64_t at, uint64_t len, const char* why);
    bool fill_record(uint64_t at, uint64_t len);
    void move_to_spare_buffer(size_t have);
    void end_loans();

    std::string cur_path_;   // the current file, for messages
    uint64_t cur_size_ = 0;  // size of the current file
    uint64_t cur_pos_ = 0;   // bytes of it consumed as records
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
