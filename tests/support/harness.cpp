#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ogg/ogg.h>
#include <opus/opusfile.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vpx/vp8dx.h>
#include <vpx/vpx_decoder.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace harness {

namespace {

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint64_t le64(const uint8_t* p) {
    return static_cast<uint64_t>(le32(p)) | (static_cast<uint64_t>(le32(p + 4)) << 32);
}

void remove_tree(const std::string& path) {
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            std::string p = path + "/" + name;
            struct stat st;
            if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                remove_tree(p);
            else
                unlink(p.c_str());
        }
        closedir(d);
    }
    rmdir(path.c_str());
}

// The key of a capture file name: the signed number after the first '_', read like strtoll.
int64_t capture_key(const std::string& name) {
    size_t us = name.find('_');
    if (us == std::string::npos) return 0;
    return strtoll(name.c_str() + us + 1, nullptr, 10);
}

// CRC-32 of Ogg pages: polynomial 0x04c11db7, not reflected, initial value 0, no final xor.
uint32_t ogg_crc(uint32_t crc, const uint8_t* p, size_t n) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i << 24;
            for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) ? (r << 1) ^ 0x04c11db7u : r << 1;
            table[i] = r;
        }
        ready = true;
    }
    for (size_t i = 0; i < n; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ p[i]) & 0xFF];
    return crc;
}

}  // namespace

std::vector<std::string> list_names(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// ---- Files and processes --------------------------------------------------------------------

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/transcodetestXXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp(" << tmpl << "): " << strerror(errno);
        return;
    }
    path_ = buf.data();
}

TempDir::~TempDir() {
    if (!path_.empty()) remove_tree(path_);
}

std::string TempDir::subdir(const std::string& name) const {
    std::string p = file(name);
    if (mkdir(p.c_str(), 0777) != 0 && errno != EEXIST)
        ADD_FAILURE() << "mkdir(" << p << "): " << strerror(errno);
    return p;
}

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd) {
    ProcessResult r;
    if (argv.empty()) return r;
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0) return r;
    if (pipe(err_pipe) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return r;
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
            fprintf(stderr, "harness: chdir(%s): %s\n", cwd.c_str(), strerror(errno));
            _exit(127);
        }
        execv(args[0], args.data());
        fprintf(stderr, "harness: exec(%s): %s\n", args[0], strerror(errno));
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        return r;
    }
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open_fds = 2;
    char buf[65536];
    while (open_fds > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        r.status = 128 + WTERMSIG(status);
    return r;
}

ProcessResult run_capture_synth(const std::vector<std::string>& args) {
#ifdef CAPTURE_SYNTH_BIN
    std::vector<std::string> argv = {CAPTURE_SYNTH_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv);
#else
    (void)args;
    ADD_FAILURE() << "capture_synth is not built";
    return ProcessResult();
#endif
}

const char* kind_name(Kind kind) {
    return kind == Kind::video ? "video" : "audio";
}

ConverterRun run_converter(const std::string& work_dir_arg, const std::vector<std::string>& args,
                           const std::string& out_dir) {
    std::vector<std::string> argv = {TRANSCODE_BIN};
    if (!work_dir_arg.empty()) {
        argv.push_back("-p");
        argv.push_back(work_dir_arg);
    }
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult p = run_process(argv, out_dir);
    ConverterRun r;
    r.status = p.status;
    r.out = std::move(p.out);
    r.err = std::move(p.err);
    for (const auto& name : list_names(out_dir)) {
        size_t dot = name.rfind('.');
        size_t us = name.rfind('_');
        bool ok = dot != std::string::npos && us != std::string::npos && us < dot;
        Kind kind = Kind::video;
        uint32_t uid = 0;
        if (ok) {
            std::string ext = name.substr(dot + 1);
            std::string digits = name.substr(us + 1, dot - us - 1);
            ok = (ext == "mkv" || ext == "ogg") && !digits.empty() && digits.size() <= 10 &&
                 digits.find_first_not_of("0123456789") == std::string::npos &&
                 std::stoull(digits) <= 0xFFFFFFFFULL;
            if (ok) {
                kind = ext == "mkv" ? Kind::video : Kind::audio;
                uid = static_cast<uint32_t>(std::stoull(digits));
            }
        }
        if (ok && r.files.emplace(StreamKey(uid, kind), out_dir + "/" + name).second) continue;
        r.other_files.push_back(name);
    }
    return r;
}

bool read_file(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
    bytes->clear();
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        if (error) *error = path + ": " + strerror(errno);
        return false;
    }
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes->insert(bytes->end(), buf, buf + n);
    bool bad = ferror(f) != 0;
    fclose(f);
    if (bad && error) *error = path + ": read error";
    return !bad;
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        if (error) *error = path + ": " + strerror(errno);
        return false;
    }
    size_t n = bytes.empty() ? 0 : fwrite(bytes.data(), 1, bytes.size(), f);
    if (fclose(f) != 0 || n != bytes.size()) {
        if (error) *error = path + ": write error";
        return false;
    }
    return true;
}

// ---- Hashing --------------------------------------------------------------------------------

uint64_t fnv1a64(const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint64_t h = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < size; ++i) {
        h ^= p[i];
        h *= 0x100000001b3ULL;
    }
    return h;
}

// ---- Capture files --------------------------------------------------------------------------

std::vector<std::string> list_capture_files(const std::string& dir, Kind kind) {
    const std::string suffix = kind == Kind::video ? ".video" : ".audio";
    std::vector<std::string> names;
    for (const auto& name : list_names(dir))
        if (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(name);
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return capture_key(a) < capture_key(b);
    });
    for (auto& n : names) n = dir + "/" + n;
    return names;
}

bool read_capture_dir(const std::string& dir, Kind kind, CaptureStream* out, std::string* error) {
    *out = CaptureStream();
    out->files = list_capture_files(dir, kind);
    const size_t head = kind == Kind::video ? 8 : 16;
    for (size_t fi = 0; fi < out->files.size() && !out->ended_by_zero; ++fi) {
        std::vector<uint8_t> b;
        if (!read_file(out->files[fi], &b, error)) return false;
        size_t pos = 0;
        while (pos < b.size()) {
            if (b.size() - pos < head) {
                ++out->cut_files;
                break;
            }
            CaptureRecord r;
            uint32_t len;
            if (kind == Kind::video) {
                len = le32(&b[pos]);
                r.uid = le32(&b[pos + 4]);
            } else {
                r.leading = le64(&b[pos]);
                r.uid = le32(&b[pos + 8]);
                len = le32(&b[pos + 12]);
            }
            pos += head;
            if (len == 0) {
                out->ended_by_zero = true;
                break;
            }
            if (len > b.size() - pos) {
                ++out->cut_files;
                break;
            }
            r.packet.assign(b.begin() + static_cast<long>(pos),
                            b.begin() + static_cast<long>(pos + len));
            r.file_index = fi;
            out->records.push_back(std::move(r));
            pos += len;
        }
    }
    return true;
}

// ---- Manifest -------------------------------------------------------------------------------

bool read_manifest(const std::string& path, Manifest* out, std::string* error) {
    *out = Manifest();
    std::vector<uint8_t> bytes;
    if (!read_file(path, &bytes, error)) return false;
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::string line;
    int lineno = 0;
    ManifestStream* cur = nullptr;
    size_t expected = 0;
    bool ended = false;
    auto fail = [&](const std::string& why) {
        *error = path + ":" + std::to_string(lineno) + ": " + why;
        return false;
    };
    auto close_stream = [&]() {
        if (!cur) return true;
        size_t n = cur->kind == Kind::video ? cur->frames.size() : cur->packets.size();
        if (n != expected)
            return fail("stream of user " + std::to_string(cur->uid) + " has " + std::to_string(n) +
                        " entries, " + std::to_string(expected) + " announced");
        return true;
    };
    while (std::getline(in, line)) {
        ++lineno;
        if (line.empty() || line[0] == '#') continue;
        std::istringstream ls(line);
        std::string word;
        ls >> word;
        if (lineno == 1) {
            if (line != "capture_synth manifest 1") return fail("not a capture_synth manifest");
            continue;
        }
        if (ended) return fail("text after 'end'");
        if (word == "user") {
            if (!close_stream()) return false;
            unsigned long long uid;
            std::string kind;
            if (!(ls >> uid >> kind >> expected) || uid > 0xFFFFFFFFULL ||
                (kind != "video" && kind != "audio"))
                return fail("bad user line");
            StreamKey key(static_cast<uint32_t>(uid), kind == "video" ? Kind::video : Kind::audio);
            if (out->streams.count(key)) return fail("user listed twice");
            cur = &out->streams[key];
            cur->uid = key.first;
            cur->kind = key.second;
        } else if (word == "frame") {
            ManifestFrame f;
            std::string hash;
            if (!cur || cur->kind != Kind::video || !(ls >> f.timestamp >> f.size >> hash))
                return fail("bad frame line");
            f.hash = std::stoull(hash, nullptr, 16);
            cur->frames.push_back(f);
        } else if (word == "packet") {
            ManifestPacket p;
            std::string hash;
            unsigned seq;
            if (!cur || cur->kind != Kind::audio || !(ls >> p.size >> hash >> p.samples >> seq) ||
                seq > 65535)
                return fail("bad packet line");
            p.hash = std::stoull(hash, nullptr, 16);
            p.seq = static_cast<uint16_t>(seq);
            cur->packets.push_back(p);
        } else if (word == "end") {
            if (!close_stream()) return false;
            cur = nullptr;
            ended = true;
        } else {
            return fail("unknown line '" + line + "'");
        }
    }
    if (lineno == 0) return fail("empty file");
    if (!ended) return fail("no 'end' line: manifest cut short");
    return true;
}

// ---- IVF ------------------------------------------------------------------------------------

bool read_ivf(const std::string& path, IvfFile* out, std::string* error) {
    *out = IvfFile();
    std::vector<uint8_t> b;
    if (!read_file(path, &b, error)) return false;
    if (b.size() < 32 || memcmp(b.data(), "DKIF", 4) != 0) {
        *error = path + ": no IVF file header";
        return false;
    }
    IvfHeader& h = out->header;
    memcpy(h.signature, b.data(), 4);
    h.version = le16(&b[4]);
    h.header_size = le16(&b[6]);
    memcpy(h.fourcc, &b[8], 4);
    h.width = le16(&b[12]);
    h.height = le16(&b[14]);
    h.rate = le32(&b[16]);
    h.scale = le32(&b[20]);
    h.length_field = le64(&b[24]);
    size_t pos = 32;
    while (b.size() - pos >= 12) {
        IvfFrame f;
        f.size = le32(&b[pos]);
        f.timestamp = le64(&b[pos + 4]);
        if (f.size > b.size() - pos - 12) break;
        f.data.assign(b.begin() + static_cast<long>(pos + 12),
                      b.begin() + static_cast<long>(pos + 12 + f.size));
        out->frames.push_back(std::move(f));
        pos += 12 + out->frames.back().size;
    }
    out->trailing_bytes = b.size() - pos;
    return true;
}

// ---- Ogg ------------------------------------------------------------------------------------

bool read_ogg(const std::string& path, OggFile* out, std::string* error) {
    *out = OggFile();
    std::vector<uint8_t> b;
    if (!read_file(path, &b, error)) return false;

    // Pages, parsed by hand so that a page with a bad CRC is reported rather than skipped.
    size_t pos = 0;
    while (pos < b.size()) {
        if (b.size() - pos < 27 || memcmp(&b[pos], "OggS", 4) != 0) break;
        OggPageInfo p;
        p.offset = pos;
        p.version = b[pos + 4];
        p.header_type = b[pos + 5];
        p.granulepos = static_cast<int64_t>(le64(&b[pos + 6]));
        p.serial = le32(&b[pos + 14]);
        p.sequence = le32(&b[pos + 18]);
        p.crc = le32(&b[pos + 22]);
        p.segments = b[pos + 26];
        p.header_len = 27 + static_cast<size_t>(p.segments);
        if (b.size() - pos < p.header_len) break;
        for (int i = 0; i < p.segments; ++i) p.body_len += b[pos + 27 + static_cast<size_t>(i)];
        if (b.size() - pos < p.header_len + p.body_len) break;
        // The CRC covers the whole page with its own field taken as zero.
        static const uint8_t zeros[4] = {0, 0, 0, 0};
        uint32_t crc = ogg_crc(0, &b[pos], 22);
        crc = ogg_crc(crc, zeros, 4);
        crc = ogg_crc(crc, &b[pos + 26], p.header_len + p.body_len - 26);
        p.crc_ok = crc == p.crc;
        out->pages.push_back(p);
        pos += p.header_len + p.body_len;
    }
    out->unparsed_bytes = b.size() - pos;
    if (out->pages.empty()) {
        *error = path + ": no Ogg page";
        return false;
    }

    // Packets of the first logical stream, the way a player gets them.
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char* buf = ogg_sync_buffer(&sync, static_cast<long>(b.size()));
    memcpy(buf, b.data(), b.size());
    ogg_sync_wrote(&sync, static_cast<long>(b.size()));
    ogg_stream_state stream;
    bool have_stream = false;
    ogg_page page;
    for (;;) {
        int r = ogg_sync_pageout(&sync, &page);
        if (r == 0) break;
        if (r < 0) continue;  // skipped bytes (a damaged page)
        if (!have_stream) {
            ogg_stream_init(&stream, ogg_page_serialno(&page));
            have_stream = true;
        }
        if (ogg_page_serialno(&page) != stream.serialno) continue;
        ogg_stream_pagein(&stream, &page);
        ogg_packet op;
        int pr;
        while ((pr = ogg_stream_packetout(&stream, &op)) != 0) {
            if (pr < 0) continue;  // a hole in the data
            OggPacketInfo info;
            info.data.assign(op.packet, op.packet + op.bytes);
            info.granulepos = op.granulepos;
            info.packetno = op.packetno;
            info.bos = op.b_o_s != 0;
            info.eos = op.e_o_s != 0;
            out->packets.push_back(std::move(info));
        }
    }
    if (have_stream) ogg_stream_clear(&stream);
    ogg_sync_clear(&sync);
    return true;
}

// ---- Decoders -------------------------------------------------------------------------------

VpxCheck vpx_decode_all(const std::vector<IvfFrame>& frames) {
    VpxCheck r;
    vpx_codec_ctx_t codec;
    if (vpx_codec_dec_init(&codec, vpx_codec_vp8_dx(), nullptr, 0) != VPX_CODEC_OK) {
        r.error = "cannot open the VP8 decoder";
        return r;
    }
    r.ok = true;
    for (const auto& f : frames) {
        if (vpx_codec_decode(&codec, f.data.data(), static_cast<unsigned>(f.data.size()), nullptr,
                             0) != VPX_CODEC_OK) {
            r.ok = false;
            const char* detail = vpx_codec_error_detail(&codec);
            r.error =
                std::string(vpx_codec_error(&codec)) + (detail ? std::string(": ") + detail : "");
            break;
        }
        vpx_codec_iter_t iter = nullptr;
        while (vpx_image_t* img = vpx_codec_get_frame(&codec, &iter)) {
            r.width = img->d_w;
            r.height = img->d_h;
        }
        ++r.decoded;
    }
    vpx_codec_destroy(&codec);
    return r;
}

OpusCheck opusfile_decode(const std::string& path) {
    OpusCheck r;
    int err = 0;
    OggOpusFile* of = op_open_file(path.c_str(), &err);
    if (!of) {
        r.error = "op_open_file failed with " + std::to_string(err);
        return r;
    }
    r.channels = op_channel_count(of, -1);
    r.pcm_total = op_pcm_total(of, -1);
    std::vector<float> pcm(static_cast<size_t>(5760 * 2 * 8));
    for (;;) {
        int n = op_read_float(of, pcm.data(), static_cast<int>(pcm.size()), nullptr);
        if (n == 0) {
            r.ok = true;
            break;
        }
        if (n < 0) {
            r.error = "op_read_float failed with " + std::to_string(n);
            break;
        }
        r.samples += n;
    }
    op_free(of);
    return r;
}

void expect_same_media(Kind kind, const std::string& want, const std::string& got) {
    if (kind == Kind::video) {
        std::vector<uint8_t> want_bytes, got_bytes;
        ASSERT_TRUE(read_file(want, &want_bytes, nullptr));
        ASSERT_TRUE(read_file(got, &got_bytes, nullptr));
        EXPECT_TRUE(got_bytes == want_bytes)
            << got_bytes.size() << " bytes, want " << want_bytes.size();
        return;
    }
    OggFile want_ogg, got_ogg;
    std::string err;
    ASSERT_TRUE(read_ogg(want, &want_ogg, &err)) << err;
    ASSERT_TRUE(read_ogg(got, &got_ogg, &err)) << err;
    ASSERT_EQ(got_ogg.packets.size(), want_ogg.packets.size());
    for (size_t i = 0; i < want_ogg.packets.size(); ++i) {
        EXPECT_EQ(got_ogg.packets[i].data, want_ogg.packets[i].data) << "packet " << i;
        EXPECT_EQ(got_ogg.packets[i].granulepos, want_ogg.packets[i].granulepos) << i;
    }
}

}  // namespace harness
