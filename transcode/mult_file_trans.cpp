#include "mult_file_trans.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {

// Capture files are read strictly sequentially; a large stdio buffer keeps the per-record reads
// of 8- and 16-byte heads off the system-call path.
constexpr size_t kInputBufferSize = 1 << 20;

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

}  // namespace

MultFileTrans::MultFileTrans() = default;

MultFileTrans::~MultFileTrans() {
    // The input stream uses read_buffer_, so it goes first.
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
    cur_file.reset(open_capture(path, &cur_size_));
    if (cur_file) {
        if (!read_buffer_) read_buffer_.reset(new char[kInputBufferSize]);
        setvbuf(cur_file.get(), read_buffer_.get(), _IOFBF, kInputBufferSize);
    }
    return true;
}

bool MultFileTrans::read_exact(void* dst, uint64_t n) {
    const size_t got = fread(dst, 1, n, cur_file.get());
    cur_pos_ += got;
    return got == n;
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
        uint8_t head[8];
        if (!read_exact(head, sizeof(head))) {
            if (!get_next_file()) return nullptr;
            continue;
        }
        const uint32_t len = load_le32(head);
        const uint32_t id = load_le32(head + 4);
        // A Length beyond the end of the file is a cut-short record: drop it without allocating
        // what a corrupt head announces.
        if (!remaining_at_least(len)) {
            if (!get_next_file()) return nullptr;
            continue;
        }
        if (video_record_.size() < len) video_record_.resize(len);
        if (len > 0 && !read_exact(video_record_.data(), len)) {
            if (!get_next_file()) return nullptr;
            continue;
        }
        *length = len;
        *uid = id;
        return video_record_.data();
    }
}

int MultFileTrans::read_audio_info(uint64_t* length, uint32_t* uid) {
    *uid = 0;
    uint8_t leading[8];
    uint8_t id[4];
    uint8_t len[4];
    if (!read_exact(leading, sizeof(leading))) return -1;
    if (!read_exact(id, sizeof(id))) return -1;
    if (!read_exact(len, sizeof(len))) return -1;
    *length = load_le32(len);
    *uid = load_le32(id);
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
        std::unique_ptr<uint8_t[]> data;
        if (len > 0) {
            data.reset(new uint8_t[len]);
            if (!read_exact(data.get(), len)) {
                if (!get_next_file()) return nullptr;
                continue;
            }
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
        writer->put_rtp_data(data, length);
    }
    cur_file.reset();
    for (auto& entry : video_writers) entry.second->flush_all();
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
        writer->put_rtp_data(std::move(data), length);
    }
    cur_file.reset();
    for (auto& entry : audio_writers) entry.second->flush_all();
    fputs("trans audio sucess \n", stdout);
    fflush(stdout);
    audio_writers.clear();
}
