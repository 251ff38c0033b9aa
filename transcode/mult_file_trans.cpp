#include "mult_file_trans.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <new>
#include <tuple>

#include "progress.h"
#include "run_options.h"
#include "run_stats.h"

namespace {

// Capture files are read strictly sequentially, in large blocks.
constexpr size_t kInputBufferSize = 1 << 20;
// While FEC recovery borrows from the read-ahead, each buffer is larger: a packet it still keeps
// when its buffer is recalled is copied, and it keeps each user's last 128 packets, so with eight
// users sending 1,200-byte packets 1 MiB would see a third of them copied and 2 MiB none.
constexpr size_t kLentBufferSize = 2 << 20;
constexpr size_t kVideoHeadSize = 8;
constexpr size_t kAudioHeadSize = 16;
// No frame may exceed the reassembly's 10,485,760 bytes, so no real record comes near this; a
// longer Length is refused before anything is allocated for it.
constexpr uint64_t kMaxRecordLength = 16777216;

uint32_t load_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Opens a capture file for reading. Only regular files are read: a FIFO would block the run until
// a writer appears, and a device could deliver bytes for ever.
FILE* open_capture(const std::string& path, uint64_t* size) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    // O_NONBLOCK only guards the open; a file system that honoured it on a regular file could
    // turn a would-block into a silent end of file.
    const int flags = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fcntl(fd, F_GETFL) : -1;
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    FILE* f = fdopen(fd, "rb");
    if (f == nullptr) {
        close(fd);
        return nullptr;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return f;
}

// --sdp: says once per user and kind how many packets the SDP's payload types left out, since an
// SDP of another call would otherwise leave the files empty without a word.
void print_unnamed(const std::map<uint32_t, StreamStats>& streams, bool video) {
    for (const auto& entry : streams) {
        const uint64_t n = entry.second.repair.sdp_unnamed;
        if (n == 0) continue;
        fprintf(stderr,
                "transcode: user %" PRIu32 ": %" PRIu64
                " %s packets of payload types the SDP does not name were left out\n",
                entry.first, n, video ? "video" : "audio");
    }
}

}  // namespace

MultFileTrans::MultFileTrans() = default;

MultFileTrans::~MultFileTrans() {
    // The streams (whose FEC recovery may borrow from the read-ahead) before the read-ahead.
    streams.clear();
    cur_file.reset();
}

void MultFileTrans::set_all_files(const std::vector<std::string>& files) {
    file_queue.insert(file_queue.end(), files.begin(), files.end());
}

void MultFileTrans::start_trans_code(bool video) {
    if (video)
        start_trans_video();
    else
        start_trans_audio();
}

bool MultFileTrans::get_next_file() {
    if (file_queue.empty()) return false;
    const std::string path = std::move(file_queue.front());
    file_queue.pop_front();
    cur_file.reset();
    cur_pos_ = 0;
    cur_size_ = 0;
    in_begin_ = in_end_ = 0;
    cur_path_ = path;
    ++file_index_;
    cur_file.reset(open_capture(path, &cur_size_));
    if (cur_file) ++run_stats().files_read;
    // The read-ahead buffer is the only buffer: stdio's would copy every byte once more.
    if (cur_file) setvbuf(cur_file.get(), nullptr, _IONBF, 0);
    return true;
}

// Makes `n` bytes of the current file available at in_begin_; false when the file ends first.
bool MultFileTrans::fill(uint64_t n) {
    const size_t have = in_end_ - in_begin_;
    if (have >= n) return true;
    if (n > in_cap_) {
        // Only a record that the file really holds and that is within the record limit gets
        // here, so the buffer never outgrows the largest record present.
        const size_t cap = n > kInputBufferSize ? static_cast<size_t>(n) : kInputBufferSize;
        std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[cap]);
        if (!grown) return false;
        if (have > 0) memcpy(grown.get(), in_buf_.get() + in_begin_, have);
        if (loans_.active()) {
            // The outgrown buffer may still be lent: it becomes the spare one.
            loans_.recall_previous();
            spare_buf_ = std::move(in_buf_);
            spare_cap_ = in_cap_;
        }
        in_buf_ = std::move(grown);
        in_cap_ = cap;
        in_begin_ = 0;
        in_end_ = in_high_ = have;
        loans_.lend(in_buf_.get(), in_cap_);
    } else if (loans_.active() && (in_begin_ + n > in_cap_ || in_end_ < in_high_)) {
        // Bytes handed out from this buffer are about to be overwritten: read into the other one.
        move_to_spare_buffer(have);
    } else if (in_begin_ + n > in_cap_) {
        memmove(in_buf_.get(), in_buf_.get() + in_begin_, have);
        in_begin_ = 0;
        in_end_ = in_high_ = have;
    }
    while (in_end_ - in_begin_ < n) {
        // At most a block at a time into a larger buffer, so that what is read is still in the
        // cache when it is parsed.
        const size_t want = std::max<size_t>(n - (in_end_ - in_begin_), kInputBufferSize);
        const size_t got =
            fread(in_buf_.get() + in_end_, 1, std::min(want, in_cap_ - in_end_), cur_file.get());
        if (got == 0) return false;
        in_end_ += got;
        if (in_end_ > in_high_) in_high_ = in_end_;
        run_stats().bytes_read += got;
        progress_advance(got);
    }
    return true;
}

// Goes on in the spare buffer with the `have` bytes not yet consumed, leaving the current one as
// it is for its borrowers; the spare one is recalled first. Without the memory for a spare buffer
// the current one is recalled and reused.
void MultFileTrans::move_to_spare_buffer(size_t have) {
    loans_.recall_previous();
    const size_t cap = std::max(in_cap_, kLentBufferSize);
    if (spare_cap_ < cap) {
        spare_buf_.reset(new (std::nothrow) uint8_t[cap]);
        spare_cap_ = spare_buf_ ? cap : 0;
    }
    if (spare_buf_ && spare_cap_ >= have) {
        if (have > 0) memcpy(spare_buf_.get(), in_buf_.get() + in_begin_, have);
        std::swap(in_buf_, spare_buf_);
        std::swap(in_cap_, spare_cap_);
    } else {
        loans_.lend(in_buf_.get(), in_cap_);  // the same buffer afresh: its borrowers copy now
        loans_.recall_previous();
        memmove(in_buf_.get(), in_buf_.get() + in_begin_, have);
    }
    in_begin_ = 0;
    in_end_ = in_high_ = have;
    loans_.lend(in_buf_.get(), in_cap_);
}

// The stages that borrowed from the read-ahead are done with it.
void MultFileTrans::end_loans() {
    loans_.close();
    spare_buf_.reset();
    spare_cap_ = 0;
}

const uint8_t* MultFileTrans::take(uint64_t n) {
    const uint8_t* p = in_buf_.get() + in_begin_;
    in_begin_ += n;
    cur_pos_ += n;
    return p;
}

// Consumes `n` bytes of the current file without reading them; false when the seek fails.
bool MultFileTrans::skip(uint64_t n) {
    const size_t have = in_end_ - in_begin_;
    if (n <= have) {
        take(n);
        return true;
    }
    in_begin_ = in_end_ = 0;
    cur_pos_ += n;
    return fseeko(cur_file.get(), static_cast<off_t>(n - have), SEEK_CUR) == 0;
}

// Says on stderr why the record whose head is at byte `at` is not converted and counts it.
void MultFileTrans::refuse(uint64_t at, uint64_t len, const char* why) {
    fprintf(stderr, "transcode: %s: record at byte %" PRIu64 " (%" PRIu64 " bytes) skipped: %s\n",
            cur_path_.c_str(), at, len, why);
    ++run_stats().records_refused;
}

// Reads the `len` bytes of the record whose head is at `at` into the read-ahead. A record over
// the limit, or one the memory cannot hold, is refused and skipped, and the file goes on after
// it. False when the record is not there to take; the current file is closed when it ends.
bool MultFileTrans::fill_record(uint64_t at, uint64_t len) {
    if (len <= kMaxRecordLength) {
        if (fill(len)) return true;
        if (in_cap_ >= len) {  // there was room: the file ended first
            ++run_stats().records_cut_short;
            cur_file.reset();
            return false;
        }
    }
    refuse(at, len, len > kMaxRecordLength ? "longer than 16777216 bytes" : "out of memory");
    if (!skip(len)) cur_file.reset();
    return false;
}

bool MultFileTrans::remaining_at_least(uint64_t n) const {
    if (cur_pos_ <= cur_size_ && cur_size_ - cur_pos_ >= n) return true;
    // The file may have grown since it was opened; look again before calling the record cut short.
    struct stat st;
    if (fstat(fileno(cur_file.get()), &st) != 0) return false;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    return cur_pos_ <= size && size - cur_pos_ >= n;
}

const uint8_t* MultFileTrans::read_next_video_data(uint64_t* length, uint32_t* uid) {
    *length = 0;
    *uid = 0;
    for (;;) {
        if (!cur_file) {
            if (!get_next_file()) return nullptr;
            continue;
        }
        if (!fill(kVideoHeadSize)) {
            if (in_end_ > in_begin_) ++run_stats().records_cut_short;
            if (!get_next_file()) return nullptr;
            continue;
        }
        const uint64_t at = cur_pos_;
        const uint8_t* head = take(kVideoHeadSize);
        const uint32_t len = load_le32(head);
        const uint32_t id = load_le32(head + 4);
        // A Length beyond the end of the file is a cut-short record: drop it without allocating
        // what a corrupt head announces.
        if (!remaining_at_least(len)) {
            ++run_stats().records_cut_short;
            if (!get_next_file()) return nullptr;
            continue;
        }
        if (!fill_record(at, len)) continue;
        if (len > 0) ++run_stats().records_read;
        *length = len;
        *uid = id;
        return take(len);
    }
}

int MultFileTrans::read_audio_info(uint64_t* length, uint32_t* uid) {
    *uid = 0;
    if (!fill(kAudioHeadSize)) return -1;
    // 8 leading bytes that are not interpreted, then the user id and the length.
    const uint8_t* head = take(kAudioHeadSize);
    memcpy(audio_lead_, head, sizeof(audio_lead_));
    *length = load_le32(head + 12);
    *uid = load_le32(head + 8);
    return 0;
}

std::unique_ptr<uint8_t[]> MultFileTrans::read_next_audio_data(uint64_t* length, uint32_t* uid) {
    *length = 0;
    *uid = 0;
    for (;;) {
        if (!cur_file) {
            if (!get_next_file()) return nullptr;
            continue;
        }
        uint64_t len = 0;
        uint32_t id = 0;
        const uint64_t at = cur_pos_;
        if (read_audio_info(&len, &id) != 0) {
            if (in_end_ > in_begin_) ++run_stats().records_cut_short;
            if (!get_next_file()) return nullptr;
            continue;
        }
        if (!remaining_at_least(len)) {
            ++run_stats().records_cut_short;
            if (!get_next_file()) return nullptr;
            continue;
        }
        if (!fill_record(at, len)) continue;
        // The writer takes ownership of the packet, so it gets a block of its own.
        std::unique_ptr<uint8_t[]> data;
        if (len > 0) {
            data.reset(new (std::nothrow) uint8_t[len]);
            const uint8_t* bytes = take(len);
            if (!data) {
                refuse(at, len, "out of memory");
                continue;
            }
            memcpy(data.get(), bytes, len);
            ++run_stats().records_read;
        }
        *length = len;
        *uid = id;
        return data;
    }
}

UserStream* MultFileTrans::stream_of(uint32_t uid, bool video) {
    std::unique_ptr<UserStream>& stream = streams[uid];
    if (!stream) {
        stream = std::make_unique<UserStream>(uid, video, &loans_);
        if (watch.made) watch.made(watch.context, uid, video, stream->observers());
    }
    return stream.get();
}

// Hands on what the stages still hold and closes the files, in the order users came in id.
void MultFileTrans::end_pass() {
    cur_file.reset();
    progress_end();
    for (auto& entry : streams) entry.second->print_hint();
    for (auto& entry : streams) entry.second->end_stages();
    end_loans();  // nothing is recovered any more: what FEC recovery borrowed is not needed
}

void MultFileTrans::start_trans_video() {
    for (;;) {
        uint64_t length = 0;
        uint32_t uid = 0;
        const uint8_t* data = read_next_video_data(&length, &uid);
        if (length == 0) break;
        const StreamRecord seen = {data, static_cast<size_t>(length), file_index_ - 1, nullptr};
        // The record lies in this pass's own read-ahead buffer and is read once: the unwrap stage
        // may rewrite it in place.
        stream_of(uid, true)->put_video(const_cast<uint8_t*>(data), static_cast<size_t>(length),
                                        seen);
    }
    end_pass();
    print_unnamed(run_stats().video, true);
    for (auto& entry : streams) entry.second->close();
    fputs("trans video sucess\n", stdout);
    fflush(stdout);
    streams.clear();
}

void MultFileTrans::start_trans_audio() {
    for (;;) {
        uint64_t length = 0;
        uint32_t uid = 0;
        std::unique_ptr<uint8_t[]> data = read_next_audio_data(&length, &uid);
        if (length == 0) break;
        const StreamRecord seen = {data.get(), static_cast<size_t>(length), file_index_ - 1,
                                   audio_lead_};
        stream_of(uid, false)->put_audio(std::move(data), static_cast<size_t>(length), seen);
    }
    end_pass();
    print_unnamed(run_stats().audio, false);
    for (auto& entry : streams) entry.second->close();
    fputs("trans audio sucess \n", stdout);
    fflush(stdout);
    streams.clear();
}
