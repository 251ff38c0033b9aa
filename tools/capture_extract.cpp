// capture_extract: takes one user's packets out of a work directory, so that a single stream can be
// fed to the converter alone or to another RTP tool.
//
// The directory is read the way the converter reads it: the capture files of one kind, ordered by
// the converter's own scan and ordering functions, as one continuous stream of records. A record
// cut short by the end of its file is dropped and reading goes on with the next file; a record of
// Length 0 ends the stream. The chosen user's records are written unchanged as a capture file of
// the same kind and/or as an RFC 4571 stream (each RTP packet preceded by its length as a 16-bit
// big-endian number), the framing that GStreamer's rtpstreamdepay reads.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "main.h"
#include "utils.h"

namespace {

const char kHelp[] =
    "Usage: capture_extract --kind video|audio [options] DIR/\n"
    "\n"
    "Reads the .video or .audio capture files of the work directory DIR/ in the converter's\n"
    "order, as one stream of records, and writes the records of one user.\n"
    "\n"
    "  --kind video|audio  which capture files to read (required)\n"
    "  --list              print one line per user: user id, records, packet bytes (ascending\n"
    "                      user id), and nothing else\n"
    "  --user UID          the user whose records are written\n"
    "  --capture FILE      write them as a capture file of the same kind, records unchanged\n"
    "  --rfc4571 FILE      write their RTP packets as an RFC 4571 stream (2-byte big-endian\n"
    "                      length before each packet)\n"
    "\n"
    "DIR/ is used as a plain prefix of the file names, as the converter does: end it with '/'.\n"
    "Exit status: 0 on success, 1 when reading or writing fails or a packet is too long for\n"
    "RFC 4571 framing, 2 for bad arguments.\n";

enum class Kind { kVideo, kAudio };

// The head of a record: video is Length, user id; audio is 8 uninterpreted bytes, user id, Length.
size_t head_size(Kind kind) {
    return kind == Kind::kVideo ? 8 : 16;
}

uint32_t load_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct Options {
    Kind kind = Kind::kVideo;
    bool kind_given = false;
    bool list = false;
    bool user_given = false;
    uint32_t user = 0;
    std::string capture_path;
    std::string rfc4571_path;
    std::string dir;
};

struct UserCount {
    uint64_t records = 0;
    uint64_t bytes = 0;
};

// One output file; a failed write is remembered and reported when the file is closed, so that a
// full disk cannot pass for a short extract.
class Sink {
public:
    bool open(const std::string& path) {
        path_ = path;
        file_.reset(fopen(path.c_str(), "wb"));
        if (!file_) {
            fprintf(stderr, "capture_extract: cannot create %s: %s\n", path.c_str(),
                    strerror(errno));
            return false;
        }
        return true;
    }
    bool is_open() const { return static_cast<bool>(file_); }
    void write(const void* data, size_t n) {
        if (ok_ && n > 0 && fwrite(data, 1, n, file_.get()) != n) ok_ = false;
    }
    bool close() {
        if (!file_) return true;
        FILE* f = file_.release();
        const bool closed = fclose(f) == 0;
        if (!ok_ || !closed) {
            fprintf(stderr, "capture_extract: writing %s failed\n", path_.c_str());
            return false;
        }
        return true;
    }

private:
    std::string path_;
    FilePtr file_;
    bool ok_ = true;
};

bool parse_uid(const char* text, uint32_t* out) {
    if (text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = strtoull(text, &end, 10);
    if (*end != '\0' || errno != 0 || v > 0xffffffffULL) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// Returns 0 when the options are usable, 2 (after a message) when they are not, -1 after --help.
int parse_args(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char** v) {
            if (i + 1 >= argc) {
                fprintf(stderr, "capture_extract: %s needs a value\n", a.c_str());
                return false;
            }
            *v = argv[++i];
            return true;
        };
        const char* v = nullptr;
        if (a == "-h" || a == "--help") {
            fputs(kHelp, stdout);
            return -1;
        } else if (a == "--kind") {
            if (!value(&v)) return 2;
            if (strcmp(v, "video") == 0) {
                o->kind = Kind::kVideo;
            } else if (strcmp(v, "audio") == 0) {
                o->kind = Kind::kAudio;
            } else {
                fprintf(stderr, "capture_extract: --kind: expected video or audio, got '%s'\n", v);
                return 2;
            }
            o->kind_given = true;
        } else if (a == "--list") {
            o->list = true;
        } else if (a == "--user") {
            if (!value(&v)) return 2;
            if (!parse_uid(v, &o->user)) {
                fprintf(stderr, "capture_extract: --user: expected a 32-bit user id, got '%s'\n",
                        v);
                return 2;
            }
            o->user_given = true;
        } else if (a == "--capture") {
            if (!value(&v)) return 2;
            o->capture_path = v;
        } else if (a == "--rfc4571") {
            if (!value(&v)) return 2;
            o->rfc4571_path = v;
        } else if (!a.empty() && a[0] == '-') {
            fprintf(stderr, "capture_extract: unknown option %s\n%s", a.c_str(), kHelp);
            return 2;
        } else if (o->dir.empty()) {
            o->dir = a;
        } else {
            fprintf(stderr, "capture_extract: more than one directory given\n");
            return 2;
        }
    }
    const bool writes = !o->capture_path.empty() || !o->rfc4571_path.empty();
    if (!o->kind_given || o->dir.empty() || (!o->list && !writes)) {
        fprintf(stderr, "%s", kHelp);
        return 2;
    }
    if (o->list && writes) {
        fprintf(stderr, "capture_extract: --list writes nothing; leave out --capture/--rfc4571\n");
        return 2;
    }
    if (writes && !o->user_given) {
        fprintf(stderr, "capture_extract: --capture and --rfc4571 need --user\n");
        return 2;
    }
    return 0;
}

int run(const Options& o) {
    std::vector<std::string> files;
    GetFileLists(files, o.dir, o.kind == Kind::kVideo ? ".video" : ".audio");
    std::sort(files.begin(), files.end(), compare);

    Sink capture, rfc4571;
    if (!o.capture_path.empty() && !capture.open(o.capture_path)) return 1;
    if (!o.rfc4571_path.empty() && !rfc4571.open(o.rfc4571_path)) return 1;

    std::map<uint32_t, UserCount> counts;
    const size_t hsize = head_size(o.kind);
    uint8_t head[16];
    std::vector<uint8_t> packet;
    std::vector<char> iobuf(1 << 20);
    int status = 0;
    bool stream_ended = false;

    for (const std::string& path : files) {
        if (stream_ended) break;
        // Like the converter: only regular files, opened without blocking on a FIFO, and
        // whatever cannot be opened is skipped silently.
        const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            continue;
        }
        FilePtr in(fdopen(fd, "rb"));
        if (!in) {
            close(fd);
            continue;
        }
        setvbuf(in.get(), iobuf.data(), _IOFBF, iobuf.size());
        uint64_t remaining = static_cast<uint64_t>(st.st_size);

        for (;;) {
            if (fread(head, 1, hsize, in.get()) != hsize) break;
            remaining -= hsize;
            uint32_t length, uid;
            if (o.kind == Kind::kVideo) {
                length = load_le32(head);
                uid = load_le32(head + 4);
            } else {
                uid = load_le32(head + 8);
                length = load_le32(head + 12);
            }
            if (length == 0) {
                stream_ended = true;
                break;
            }
            // A Length beyond the file's end means a cut-short record: dropped without
            // allocating what it claims.
            if (length > remaining) break;
            packet.resize(length);
            if (fread(packet.data(), 1, length, in.get()) != length) break;
            remaining -= length;

            UserCount& c = counts[uid];
            ++c.records;
            c.bytes += length;
            if (!o.user_given || uid != o.user) continue;

            if (capture.is_open()) {
                capture.write(head, hsize);
                capture.write(packet.data(), length);
            }
            if (rfc4571.is_open()) {
                if (length > 0xffff) {
                    fprintf(stderr,
                            "capture_extract: a packet of %u bytes in %s does not fit RFC 4571's "
                            "16-bit length\n",
                            length, path.c_str());
                    status = 1;
                    stream_ended = true;
                    break;
                }
                const uint8_t be[2] = {static_cast<uint8_t>(length >> 8),
                                       static_cast<uint8_t>(length)};
                rfc4571.write(be, 2);
                rfc4571.write(packet.data(), length);
            }
        }
    }

    if (!capture.close()) status = 1;
    if (!rfc4571.close()) status = 1;
    if (o.list) {
        for (const auto& [uid, c] : counts)
            printf("%u %llu %llu\n", uid, static_cast<unsigned long long>(c.records),
                   static_cast<unsigned long long>(c.bytes));
    }
    if (status == 0 && o.user_given && counts.find(o.user) == counts.end())
        fprintf(stderr, "capture_extract: user %u has no records; the output is empty\n", o.user);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    const int parsed = parse_args(argc, argv, &o);
    if (parsed == -1) return 0;
    if (parsed != 0) return parsed;
    return run(o);
}
