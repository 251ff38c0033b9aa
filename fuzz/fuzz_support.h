// Helpers shared by the fuzz targets: quiet converter output, scratch directories for the passes
// that read and write real files, and a check that stops the run with a readable reason.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "rtp_payload.h"

// An invariant of the code under test does not hold: report it on the real standard error and
// abort, which libFuzzer records as a crash together with the input.
#define FUZZ_CHECK(cond)                                                                    \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            dprintf(STDERR_FILENO, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                        \
        }                                                                                   \
    } while (0)

namespace fuzz {

// The converter prints a line per pass and per Ogg page on standard output and some failures on
// standard error; at thousands of runs a second that buries the fuzzer's status lines. Standard
// output goes to /dev/null. File descriptor 2 has to stay: libFuzzer prints its status there and
// the sanitizers write their reports there, so only the C stream `stderr`, through which the
// converter prints, is pointed at /dev/null.
inline void silence_converter_output() {
    static bool done = false;
    if (done) return;
    done = true;
    fflush(stdout);
    fflush(stderr);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
    if (FILE* sink = fopen("/dev/null", "w")) stderr = sink;
}

// A directory of its own under $TMPDIR (or /tmp), emptied between runs and removed at exit.
class ScratchDir {
public:
    explicit ScratchDir(const char* tag) {
        const char* tmp = getenv("TMPDIR");
        std::string pattern =
            std::string(tmp && *tmp ? tmp : "/tmp") + "/transcode-fuzz-" + tag + "-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        FUZZ_CHECK(mkdtemp(buf.data()) != nullptr);
        path_ = buf.data();
    }
    ~ScratchDir() {
        clear();
        rmdir(path_.c_str());
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // The converter writes only plain files into its current directory, never subdirectories.
    void clear() const {
        DIR* dir = opendir(path_.c_str());
        if (dir == nullptr) return;
        std::vector<std::string> names;
        while (const struct dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
        for (const std::string& name : names) unlink(file(name).c_str());
    }

private:
    std::string path_;
};

// A 12-byte RTP header: first byte `b0` (version, padding, extension, CSRC count), second `b1`
// (marker, payload type), then sequence number, timestamp and SSRC in network byte order.
inline std::vector<uint8_t> rtp_header(uint8_t b0, uint8_t b1, uint16_t seq, uint32_t ts,
                                       uint32_t ssrc) {
    return {b0,
            b1,
            static_cast<uint8_t>(seq >> 8),
            static_cast<uint8_t>(seq),
            static_cast<uint8_t>(ts >> 24),
            static_cast<uint8_t>(ts >> 16),
            static_cast<uint8_t>(ts >> 8),
            static_cast<uint8_t>(ts),
            static_cast<uint8_t>(ssrc >> 24),
            static_cast<uint8_t>(ssrc >> 16),
            static_cast<uint8_t>(ssrc >> 8),
            static_cast<uint8_t>(ssrc)};
}

// Always a new file: rewriting one in place makes the file system flush it on every close, which
// costs more than the whole run.
inline void write_file(const std::string& path, const uint8_t* data, size_t size) {
    unlink(path.c_str());
    FILE* f = fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(size == 0 || fwrite(data, 1, size, f) == size);
    FUZZ_CHECK(fclose(f) == 0);
}

// Runs the converter inside `dir` (it writes into its current directory) and comes back after.
class ScopedChdir {
public:
    explicit ScopedChdir(const std::string& dir) {
        FUZZ_CHECK(getcwd(old_, sizeof(old_)) != nullptr);
        FUZZ_CHECK(chdir(dir.c_str()) == 0);
    }
    ~ScopedChdir() { FUZZ_CHECK(chdir(old_) == 0); }
    ScopedChdir(const ScopedChdir&) = delete;
    ScopedChdir& operator=(const ScopedChdir&) = delete;

private:
    char old_[4096];
};

// Writes the input as the capture files of one pass and returns their paths in reading order.
// The first byte chooses the layout: 0 keeps the rest in one file; any other value cuts the rest
// at value * length / 256 into two files, so records that run across a file boundary, empty files
// and heads cut short at the end of a file are all reachable.
inline std::vector<std::string> write_capture_files(const ScratchDir& dir, const uint8_t* data,
                                                    size_t size, const char* suffix) {
    std::vector<std::string> paths;
    if (size == 0) return paths;
    const uint8_t split = data[0];
    const uint8_t* body = data + 1;
    const size_t length = size - 1;
    // Names carry the ordering key that the driver sorts by; the pass itself keeps list order.
    if (split == 0) {
        paths.push_back(dir.file(std::string("c_1") + suffix));
        write_file(paths[0], body, length);
    } else {
        const size_t cut = static_cast<size_t>(split) * length / 256;
        paths.push_back(dir.file(std::string("c_1") + suffix));
        paths.push_back(dir.file(std::string("c_2") + suffix));
        write_file(paths[0], body, cut);
        write_file(paths[1], body + cut, length - cut);
    }
    return paths;
}

// Splits an input into packets, each a 2-byte little-endian length and that many bytes (a length
// beyond the input takes what is left), and calls `f(packet, size)` with each copied into a block
// of its exact size, so that a read past one packet is caught rather than landing in the next.
template <typename F>
void each_packet(const uint8_t* data, size_t size, F f) {
    size_t pos = 0;
    while (size - pos >= 2) {
        size_t len = size_t{data[pos]} | (size_t{data[pos + 1]} << 8);
        pos += 2;
        if (len > size - pos) len = size - pos;
        std::unique_ptr<uint8_t[]> packet(new uint8_t[len ? len : 1]);
        if (len) memcpy(packet.get(), data + pos, len);
        pos += len;
        f(packet.get(), len);
    }
}

// What every depacketizer's frame callback must see: a frame inside the reassembly limit, and no
// flag but the one for a loss before it.
inline void check_frame(const void* data, int bytes, int flags) {
    FUZZ_CHECK(data != nullptr);
    FUZZ_CHECK(bytes > 0 && bytes <= RTP_PAYLOAD_MAX_SIZE);
    FUZZ_CHECK(flags == 0 || flags == RTP_PAYLOAD_FLAG_PACKET_LOST);
}

}  // namespace fuzz
