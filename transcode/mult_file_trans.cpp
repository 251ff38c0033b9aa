#include "mult_file_trans.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "run_options.h"
#include "run_stats.h"
#include "vp8_unpack.h"

namespace {

// Capture files are read strictly sequentially, in large blocks.
constexpr size_t kInputBufferSize = 1 << 20;
constexpr size_t kVideoHeadSize = 8;
constexpr size_t kAudioHeadSize = 16;

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
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
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

// The user's reorder stage, made at their first packet with its counters in `stats[uid]`.
ReorderWindow& reorder_stage(std::map<uint32_t, std::unique_ptr<ReorderWindow>>& stages,
                             uint32_t uid, std::map<uint32_t, StreamStats>& stats,
                             ReorderWindow::SkipTest skip) {
    std::unique_ptr<ReorderWindow>& stage = stages[uid];
    if (!stage)
        stage =
            std::make_unique<ReorderWindow>(run_options.reorder_window, &stats[uid].repair, skip);
    return *stage;
}

// Hands every packet the stage releases to `put`.
template <typename Put>
void drain(ReorderWindow& stage, Put put) {
    const uint8_t* packet = nullptr;
    size_t size = 0;
    while (stage.pop(&packet, &size)) put(packet, size);
}

void put_audio_copy(muopus::user_audio& writer, const uint8_t* packet, size_t size) {
    std::unique_ptr<uint8_t[]> copy;
    if (size > 0) {
        copy.reset(new uint8_t[size]);
        memcpy(copy.get(), packet, size);
    }
    writer.put_rtp_data(std::move(copy), size);
}

}  // namespace

MultFileTrans::MultFileTrans() = default;

MultFileTrans::~MultFileTrans() {
    cur_file.reset();
    audio_writers.clear();
    video_writers.clear();
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
    cur_file.reset(open_capture(path, &cur_size_));
    // The read-ahead buffer is the only buffer: stdio's would copy every byte once more.
    if (cur_file) setvbuf(cur_file.get(), nullptr, _IONBF, 0);
    return true;
}

// Makes `n` bytes of the current file available at in_begin_; false when the file ends first.
bool MultFileTrans::fill(uint64_t n) {
    const size_t have = in_end_ - in_begin_;
    if (have >= n) return true;
    if (n > in_cap_) {
        // Only a record that the file really holds gets here (its length was checked against
        // the file's size), so the buffer never outgrows the largest record present.
        const size_t cap = n > kInputBufferSize ? static_cast<size_t>(n) : kInputBufferSize;
        std::unique_ptr<uint8_t[]> grown(new uint8_t[cap]);
        if (have > 0) memcpy(grown.get(), in_buf_.get() + in_begin_, have);
        in_buf_ = std::move(grown);
        in_cap_ = cap;
        in_begin_ = 0;
        in_end_ = have;
    } else if (in_begin_ + n > in_cap_) {
        memmove(in_buf_.get(), in_buf_.get() + in_begin_, have);
        in_begin_ = 0;
        in_end_ = have;
    }
    while (in_end_ - in_begin_ < n) {
        const size_t got = fread(in_buf_.get() + in_end_, 1, in_cap_ - in_end_, cur_file.get());
        if (got == 0) return false;
        in_end_ += got;
    }
    return true;
}

const uint8_t* MultFileTrans::take(uint64_t n) {
    const uint8_t* p = in_buf_.get() + in_begin_;
    in_begin_ += n;
    cur_pos_ += n;
    return p;
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
            if (!get_next_file()) return nullptr;
            continue;
        }
        const uint8_t* head = take(kVideoHeadSize);
        const uint32_t len = load_le32(head);
        const uint32_t id = load_le32(head + 4);
        // A Length beyond the end of the file is a cut-short record: drop it without allocating
        // what a corrupt head announces.
        if (!remaining_at_least(len)) {
            if (!get_next_file()) return nullptr;
            continue;
        }
        if (!fill(len)) {
            if (!get_next_file()) return nullptr;
            continue;
        }
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
        if (read_audio_info(&len, &id) != 0 || !remaining_at_least(len)) {
            if (!get_next_file()) return nullptr;
            continue;
        }
        if (!fill(len)) {
            if (!get_next_file()) return nullptr;
            continue;
        }
        // The writer takes ownership of the packet, so it gets a block of its own.
        std::unique_ptr<uint8_t[]> data;
        if (len > 0) {
            data.reset(new uint8_t[len]);
            memcpy(data.get(), take(len), len);
        }
        *length = len;
        *uid = id;
        return data;
    }
}

void MultFileTrans::start_trans_video() {
    for (;;) {
        uint64_t length = 0;
        uint32_t uid = 0;
        const uint8_t* data = read_next_video_data(&length, &uid);
        if (length == 0) break;
        std::unique_ptr<userVideo>& writer = video_writers[uid];
        if (!writer) writer = std::make_unique<userVideo>(uid);
        if (!run_options.repair) {
            writer->put_rtp_data(data, length);
            continue;
        }
        ReorderWindow& stage =
            reorder_stage(video_reorder, uid, run_stats().video, rtp_vp8_refused);
        stage.push(data, length);
        drain(stage, [&](const uint8_t* p, size_t n) { writer->put_rtp_data(p, n); });
    }
    cur_file.reset();
    for (auto& entry : video_reorder) {
        userVideo& writer = *video_writers[entry.first];
        entry.second->flush();
        drain(*entry.second, [&](const uint8_t* p, size_t n) { writer.put_rtp_data(p, n); });
    }
    video_reorder.clear();
    for (auto& entry : video_writers) {
        entry.second->flush_all();
        run_stats().video[entry.first].output_file = entry.second->name;
    }
    fputs("trans video sucess\n", stdout);
    fflush(stdout);
    video_writers.clear();
}

void MultFileTrans::start_trans_audio() {
    for (;;) {
        uint64_t length = 0;
        uint32_t uid = 0;
        std::unique_ptr<uint8_t[]> data = read_next_audio_data(&length, &uid);
        if (length == 0) break;
        std::unique_ptr<muopus::user_audio>& writer = audio_writers[uid];
        if (!writer) writer = std::make_unique<muopus::user_audio>(uid);
        if (!run_options.repair) {
            writer->put_rtp_data(std::move(data), length);
            continue;
        }
        ReorderWindow& stage = reorder_stage(audio_reorder, uid, run_stats().audio, nullptr);
        stage.push(data.get(), length);
        drain(stage, [&](const uint8_t* p, size_t n) {
            // A packet released as it came is the record itself: the writer takes it over.
            if (p != nullptr && p == data.get())
                writer->put_rtp_data(std::move(data), n);
            else
                put_audio_copy(*writer, p, n);
        });
    }
    cur_file.reset();
    for (auto& entry : audio_reorder) {
        muopus::user_audio& writer = *audio_writers[entry.first];
        entry.second->flush();
        drain(*entry.second, [&](const uint8_t* p, size_t n) { put_audio_copy(writer, p, n); });
    }
    audio_reorder.clear();
    for (auto& entry : audio_writers) {
        entry.second->flush_all();
        run_stats().audio[entry.first].output_file = entry.second->name;
    }
    fputs("trans audio sucess \n", stdout);
    fflush(stdout);
    audio_writers.clear();
}
