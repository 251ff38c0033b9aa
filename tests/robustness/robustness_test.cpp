// Broken and hostile captures, and outputs that cannot be written: the converter must neither crash
// nor hang nor take memory a capture only claims to need, and must keep everything it can.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "mult_file_trans.h"
#include "rtp_packet.h"
#include "rtp_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using harness::Kind;
using harness::TempDir;

void put_le32(Bytes* b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes video_record(uint32_t uid, const Bytes& packet) {
    Bytes r;
    put_le32(&r, static_cast<uint32_t>(packet.size()));
    put_le32(&r, uid);
    r.insert(r.end(), packet.begin(), packet.end());
    return r;
}

Bytes audio_record(uint32_t uid, const Bytes& packet) {
    Bytes r(8, 0x33);
    put_le32(&r, uid);
    put_le32(&r, static_cast<uint32_t>(packet.size()));
    r.insert(r.end(), packet.begin(), packet.end());
    return r;
}

// An RTP packet with one CSRC, as the recorder's are.
Bytes rtp(uint16_t seq, uint32_t ts, bool marker, uint8_t pt, const Bytes& payload) {
    Bytes p = rtptest::rtp_bytes(seq, ts, marker, {}, pt);
    p[0] |= 1;  // CSRC count
    for (uint8_t b : {0, 0, 0, 7}) p.push_back(b);
    for (uint8_t b : payload) p.push_back(b);
    return p;
}

// A one-packet VP8 frame (S bit, marker) of `n` data bytes.
Bytes vp8_frame_packet(uint16_t seq, uint32_t ts, size_t n) {
    Bytes payload = {0x10};
    for (size_t i = 0; i < n; ++i) payload.push_back(static_cast<uint8_t>(seq + i));
    return rtp(seq, ts, true, 96, payload);
}

// A 20 ms single-frame Opus packet (TOC 0xF8: CELT fullband, code 0).
Bytes opus_packet(uint16_t seq, size_t n) {
    Bytes payload = {0xF8};
    for (size_t i = 1; i < n; ++i) payload.push_back(static_cast<uint8_t>(seq * 7 + i));
    return rtp(seq, seq * 960u, false, 111, payload);
}

void write_bytes(const std::string& path, const Bytes& b) {
    std::string err;
    ASSERT_TRUE(harness::write_file(path, b, &err)) << err;
}

Bytes concat(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Runs the converter over `work` in `out` with a shell prefix (resource limits, signal
// dispositions) applied before it starts; the run is killed after 60 s so a hang fails the test.
harness::ConverterRun convert_with(const std::string& prefix, const std::string& work,
                                   const std::string& out, const std::vector<std::string>& kinds) {
    std::string cmd =
        prefix + " exec /usr/bin/timeout -s KILL 60 '" TRANSCODE_BIN "' -p '" + work + "'";
    for (const std::string& k : kinds) cmd += " " + k;
    harness::ConverterRun run;
    const harness::ProcessResult p = harness::run_process({"/bin/sh", "-c", cmd}, out);
    run.status = p.status;
    run.out = p.out;
    run.err = p.err;
    // The file list comes from the harness's own reading of the directory.
    const harness::ConverterRun listing = harness::run_converter("", {"-h"}, out);
    run.files = listing.files;
    return run;
}

size_t count_lines(const std::string& s, const std::string& needle) {
    size_t n = 0;
    for (size_t at = 0; (at = s.find(needle, at)) != std::string::npos; at += needle.size()) ++n;
    return n;
}

// Peak resident memory of one converter run, in KiB, from the kernel's accounting of the child.
long converter_peak_kib(const std::string& work, const std::string& out) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        if (chdir(out.c_str()) != 0) _exit(126);
        execl(TRANSCODE_BIN, TRANSCODE_BIN, "-p", work.c_str(), "-v", "-a",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status)) return -1;
    return usage.ru_maxrss;
}

// ---- capture input ---------------------------------------------------------------------------

// Cutting a capture at every byte of its first records: each cut keeps exactly the records
// wholly before it, in-process so that every byte position is cheap to try.
class CutAtEveryByte : public ::testing::TestWithParam<Kind> {};

TEST_P(CutAtEveryByte, KeepsExactlyTheWholeRecords) {
    const bool video = GetParam() == Kind::video;
    std::vector<Bytes> records;
    for (uint16_t i = 0; i < 4; ++i) {
        records.push_back(video ? video_record(5, vp8_frame_packet(100 + i, 3000u * i, 9))
                                : audio_record(5, opus_packet(100 + i, 6)));
    }
    const Bytes whole = concat(records);
    std::vector<size_t> ends;
    size_t end = 0;
    for (const Bytes& r : records) ends.push_back(end += r.size());

    TempDir work;
    TempDir out;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(out.path().c_str()), 0);
    for (size_t cut = 0; cut <= whole.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        write_bytes(work.file("c_1") + (video ? ".video" : ".audio"),
                    Bytes(whole.begin(), whole.begin() + cut));
        size_t kept = 0;
        while (kept < ends.size() && ends[kept] <= cut) ++kept;
        testing::internal::CaptureStdout();
        {
            MultFileTrans trans;
            trans.set_all_files({work.file("c_1") + (video ? ".video" : ".audio")});
            trans.start_trans_code(video);
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  video ? "trans video sucess\n" : "trans audio sucess \n");
        const std::vector<std::string> names = harness::list_names(out.path());
        ASSERT_EQ(names.size(), kept ? 1u : 0u);
        if (kept == 0) continue;
        if (video) {
            harness::IvfFile ivf;
            std::string err;
            ASSERT_TRUE(harness::read_ivf(out.file(names[0]), &ivf, &err)) << err;
            ASSERT_EQ(ivf.frames.size(), kept);
            for (size_t i = 0; i < kept; ++i) EXPECT_EQ(ivf.frames[i].timestamp, 3000u * i);
        } else {
            harness::OggFile ogg;
            std::string err;
            ASSERT_TRUE(harness::read_ogg(out.file(names[0]), &ogg, &err)) << err;
            ASSERT_EQ(ogg.packets.size(), kept + 2);
            EXPECT_EQ(ogg.pages.back().granulepos, static_cast<int64_t>(960 * kept));
        }
        ASSERT_EQ(unlink(out.file(names[0]).c_str()), 0);
    }
    ASSERT_EQ(chdir(cwd), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CutAtEveryByte, ::testing::Values(Kind::video, Kind::audio),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return std::string(harness::kind_name(info.param));
                         });

TEST(Robustness, HugeLengthIsNotAllocated) {
    // Heads announcing 4 GiB in files of a few bytes, then a real record in the next file.
    TempDir work;
    TempDir out;
    Bytes video_head;
    put_le32(&video_head, 0xFFFFFFFF);
    put_le32(&video_head, 9);
    video_head.resize(64, 0xAB);
    Bytes audio_head(8, 0);
    put_le32(&audio_head, 9);
    put_le32(&audio_head, 0xFFFFFFFF);
    audio_head.resize(64, 0xAB);
    write_bytes(work.file("a_1.video"), video_head);
    write_bytes(work.file("a_1.audio"), audio_head);
    write_bytes(work.file("a_2.video"), video_record(4, vp8_frame_packet(1, 90, 20)));
    write_bytes(work.file("a_2.audio"), audio_record(4, opus_packet(1, 20)));

    TempDir baseline_work;
    TempDir baseline_out;
    write_bytes(baseline_work.file("a_2.video"), video_record(4, vp8_frame_packet(1, 90, 20)));
    write_bytes(baseline_work.file("a_2.audio"), audio_record(4, opus_packet(1, 20)));
    const long baseline = converter_peak_kib(baseline_work.slash(), baseline_out.path());
    const long peak = converter_peak_kib(work.slash(), out.path());
    ASSERT_GT(baseline, 0);
    ASSERT_GT(peak, 0);
    // The same work but for the corrupt heads: no more memory than a few pages of slack.
    EXPECT_LT(peak - baseline, 4 * 1024) << "peak " << peak << " KiB, baseline " << baseline;
    EXPECT_LT(peak, 32 * 1024);

    const harness::ConverterRun run =
        harness::run_converter(work.slash(), {"-v", "-a"}, out.path());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.files.size(), 2u);
    EXPECT_TRUE(run.files.count({4, Kind::video}));
    EXPECT_TRUE(run.files.count({4, Kind::audio}));
}

// Records the files really hold, sparse, around the 16 MiB limit, run under an address-space limit
// far below the largest: the one at the limit is read (and is no packet), the two above it are
// refused one stderr line each and skipped, and the records after each are converted. Under a
// limit that leaves no room for the one at the limit, it is skipped the same way.
TEST(Robustness, RecordsOverTheLimitAreSkippedWithoutAllocating) {
    struct Run {
        std::string limit;
        size_t refused;
    };
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer reserves more address space than any such limit allows.
    const std::vector<Run> runs = {{"", 2}};
#else
    const std::vector<Run> runs = {{"ulimit -v 150000;", 2}, {"ulimit -v 25000;", 3}};
#endif
    const uint32_t lengths[] = {16777216, 16777217, 200u << 20};
    for (const Kind kind : {Kind::video, Kind::audio}) {
        SCOPED_TRACE(harness::kind_name(kind));
        const bool video = kind == Kind::video;
        const size_t head = video ? 8 : 16;
        TempDir work;
        const std::string path = work.file(video ? "s_1.video" : "s_1.audio");
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        off_t at = 0;
        const auto put = [&](const Bytes& b) {
            ASSERT_EQ(pwrite(fd, b.data(), b.size(), at), static_cast<ssize_t>(b.size()));
            at += static_cast<off_t>(b.size());
        };
        std::vector<std::string> offsets;
        for (uint16_t i = 0; i <= 3; ++i) {
            put(video ? video_record(4, vp8_frame_packet(i, 3000u * i, 20))
                      : audio_record(4, opus_packet(i, 20)));
            if (i == 3) break;
            offsets.push_back("record at byte " + std::to_string(at) + " ");
            Bytes big_head = video ? Bytes{} : Bytes(8, 0);
            if (video) put_le32(&big_head, lengths[i]);
            put_le32(&big_head, 4);
            if (!video) put_le32(&big_head, lengths[i]);
            put(big_head);
            at += lengths[i];  // a hole: zero bytes the file holds without using the disk
            ASSERT_EQ(head, big_head.size());
        }
        ASSERT_EQ(close(fd), 0);
        for (const Run& r : runs) {
            SCOPED_TRACE(r.limit);
            TempDir out;
            const harness::ConverterRun run =
                convert_with(r.limit, work.slash(), out.path(), {video ? "-v" : "-a"});
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(count_lines(run.err, "\n"), r.refused) << run.err;
            EXPECT_EQ(count_lines(run.err, path), r.refused) << run.err;
            for (size_t i = 3 - r.refused; i < 3; ++i)
                EXPECT_EQ(count_lines(run.err, offsets[i]), 1u) << run.err;
            ASSERT_EQ(run.files.size(), 1u);
            std::string err;
            if (video) {
                harness::IvfFile ivf;
                ASSERT_TRUE(harness::read_ivf(run.files.begin()->second, &ivf, &err)) << err;
                EXPECT_EQ(ivf.frames.size(), 4u);
            } else {
                harness::OggFile ogg;
                ASSERT_TRUE(harness::read_ogg(run.files.begin()->second, &ogg, &err)) << err;
                EXPECT_EQ(ogg.packets.size(), 4u + 2);
            }
        }
    }
}

TEST(Robustness, RandomBytesNeverBreakTheRun) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TempDir work;
        TempDir out;
        for (int f = 0; f < 3; ++f) {
            Bytes junk(1 + rng() % 20000);
            for (uint8_t& b : junk) b = static_cast<uint8_t>(rng());
            // Small lengths in some heads so that records do form.
            if (round % 2 == 0 && junk.size() > 8) junk[1] = junk[2] = junk[3] = 0;
            write_bytes(work.file("r_" + std::to_string(f) + ".video"), junk);
            write_bytes(work.file("r_" + std::to_string(f) + ".audio"), junk);
        }
        const harness::ConverterRun run = convert_with("", work.slash(), out.path(), {"-v", "-a"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(
            run.out,
            "start trans video\ntrans video sucess\nstart trans audio\ntrans audio sucess \n");
        for (const auto& [key, path] : run.files) {
            if (key.second == Kind::video) {
                harness::IvfFile ivf;
                std::string err;
                EXPECT_TRUE(harness::read_ivf(path, &ivf, &err)) << err;
                EXPECT_EQ(ivf.trailing_bytes, 0u);
            } else {
                harness::OggFile ogg;
                std::string err;
                ASSERT_TRUE(harness::read_ogg(path, &ogg, &err)) << err;
                for (const auto& page : ogg.pages) EXPECT_TRUE(page.crc_ok);
            }
        }
    }
}

TEST(Robustness, DirectoryAndFifoNamedLikeCapturesAreSkipped) {
    TempDir work;
    TempDir out;
    ASSERT_EQ(mkdir(work.file("x_1.video").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(work.file("x_2.video").c_str(), 0644), 0);
    ASSERT_EQ(mkfifo(work.file("x_2.audio").c_str(), 0644), 0);
    write_bytes(work.file("x_3.video"), video_record(8, vp8_frame_packet(1, 90, 20)));
    write_bytes(work.file("x_3.audio"), audio_record(8, opus_packet(1, 20)));
    const harness::ConverterRun run = convert_with("", work.slash(), out.path(), {"-v", "-a"});
    ASSERT_EQ(run.status, 0) << "a status of 137 means the run hung on the FIFO";
    EXPECT_EQ(run.out,
              "start trans video\ntrans video sucess\nstart trans audio\ntrans audio sucess \n");
    EXPECT_EQ(run.files.size(), 2u);
}

TEST(Robustness, CaptureFilesAreReadInBlockingMode) {
    TempDir work;
    write_bytes(work.file("n_1.video"), video_record(8, vp8_frame_packet(1, 90, 20)));
    MultFileTrans trans;
    trans.set_all_files({work.file("n_1.video")});
    ASSERT_TRUE(trans.get_next_file());
    ASSERT_TRUE(trans.cur_file);
    EXPECT_EQ(fcntl(fileno(trans.cur_file.get()), F_GETFL) & O_NONBLOCK, 0);
}

TEST(Robustness, HeaderLimitsCsrc15AndExtensions) {
    // One user's audio records whose headers sit at every limit of the CSRC list and extension:
    // each packet that leaves Opus data is written, each that does not is skipped.
    struct Case {
        uint8_t cc;
        int ext_words;  // -1: no extension
        int ext_room;   // extension data bytes actually present
        size_t opus;    // Opus bytes after the header
        bool written;
    };
    const Case cases[] = {
        {15, -1, 0, 3, true},      {15, -1, 0, 0, false},      {15, 0, 0, 2, true},
        {15, 0, 0, 0, false},      {0, 1, 4, 1, true},         {0, 1, 4, 0, false},
        {2, 3, 8, 0, false},       {2, 16383, 65532, 5, true}, {1, 16384, 65536, 5, false},
        {1, 65535, 100, 5, false}, {15, 2, 8, 4, true},
    };
    Bytes stream;
    int written = 0;
    uint16_t seq = 1;
    for (const Case& c : cases) {
        Bytes p = {static_cast<uint8_t>(0x80 | (c.ext_words >= 0 ? 0x10 : 0) | c.cc),
                   111,
                   static_cast<uint8_t>(seq >> 8),
                   static_cast<uint8_t>(seq),
                   0,
                   0,
                   0,
                   0,
                   1,
                   2,
                   3,
                   4};
        p.resize(12 + 4 * c.cc, 0x5C);
        if (c.ext_words >= 0) {
            p.insert(p.end(), {0xBE, 0xDE, static_cast<uint8_t>(c.ext_words >> 8),
                               static_cast<uint8_t>(c.ext_words)});
            p.resize(p.size() + c.ext_room, 0);
        }
        if (c.opus > 0) p.push_back(0xF8);
        p.resize(p.size() + (c.opus > 0 ? c.opus - 1 : 0), 0x42);
        Bytes rec = audio_record(3, p);
        stream.insert(stream.end(), rec.begin(), rec.end());
        written += c.written;
        ++seq;
    }
    TempDir work;
    TempDir out;
    write_bytes(work.file("h_1.audio"), stream);
    const harness::ConverterRun run = harness::run_converter(work.slash(), {"-a"}, out.path());
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.files.size(), 1u);
    harness::OggFile ogg;
    std::string err;
    ASSERT_TRUE(harness::read_ogg(run.files.begin()->second, &ogg, &err)) << err;
    EXPECT_EQ(ogg.packets.size(), static_cast<size_t>(written) + 2);
    EXPECT_EQ(ogg.pages.back().granulepos, 960 * written);
}

TEST(Robustness, FiveThousandUsersEachGetTheirFiles) {
    constexpr uint32_t kUsers = 5000;
    Bytes video;
    Bytes audio;
    for (uint32_t u = 0; u < kUsers; ++u) {
        const uint32_t uid = 1000000 + u * 7919;
        const Bytes v = video_record(uid, vp8_frame_packet(static_cast<uint16_t>(u), 90 * u, 12));
        const Bytes a = audio_record(uid, opus_packet(static_cast<uint16_t>(u), 10));
        video.insert(video.end(), v.begin(), v.end());
        audio.insert(audio.end(), a.begin(), a.end());
    }
    TempDir work;
    write_bytes(work.file("u_1.video"), video);
    write_bytes(work.file("u_1.audio"), audio);

    {
        // The soft limit on open files is usually far below 5,000: the converter raises it.
        TempDir out;
        const harness::ConverterRun run =
            convert_with("ulimit -S -n 1024;", work.slash(), out.path(), {"-v", "-a"});
        ASSERT_EQ(run.status, 0) << run.err.substr(0, 500);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.files.size(), 2 * kUsers);
        const auto first = run.files.find({1000000, Kind::video});
        ASSERT_NE(first, run.files.end());
        harness::IvfFile ivf;
        std::string err;
        ASSERT_TRUE(harness::read_ivf(first->second, &ivf, &err)) << err;
        EXPECT_EQ(ivf.frames.size(), 1u);
        const auto last = run.files.find({1000000 + (kUsers - 1) * 7919, Kind::audio});
        ASSERT_NE(last, run.files.end());
        harness::OggFile ogg;
        ASSERT_TRUE(harness::read_ogg(last->second, &ogg, &err)) << err;
        EXPECT_EQ(ogg.pages.size(), 3u);
    }
    {
        // With the hard limit too low, each file that cannot be created is named, and status 2.
        TempDir out;
        const harness::ConverterRun run =
            convert_with("ulimit -n 256;", work.slash(), out.path(), {"-v", "-a"});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(
            run.out,
            "start trans video\ntrans video sucess\nstart trans audio\ntrans audio sucess \n");
        const size_t failed = count_lines(run.err, "cannot create");
        EXPECT_EQ(failed + run.files.size(), 2 * kUsers);
        EXPECT_GT(failed, 2 * kUsers - 600);
        for (const auto& [key, path] : run.files) {
            const std::string name = path.substr(path.rfind('/') + 1);
            EXPECT_EQ(run.err.find(name), std::string::npos) << name << " was created";
        }
    }
}

// ---- output failures -------------------------------------------------------------------------

TEST(OutputFailure, DirectoryThatTakesNoFiles) {
    TempDir work;
    write_bytes(work.file("o_1.video"), concat({video_record(1, vp8_frame_packet(1, 0, 10)),
                                                video_record(2, vp8_frame_packet(1, 0, 10))}));
    write_bytes(work.file("o_1.audio"), audio_record(1, opus_packet(1, 10)));
    const harness::ProcessResult p =
        harness::run_process({TRANSCODE_BIN, "-p", work.slash(), "-v", "-a"}, "/proc");
    EXPECT_EQ(p.status, 2);
    EXPECT_EQ(p.out,
              "start trans video\ntrans video sucess\nstart trans audio\ntrans audio sucess \n");
    EXPECT_EQ(count_lines(p.err, "cannot create"), 3u) << p.err;
    EXPECT_EQ(count_lines(p.err, "_1.mkv"), 1u);
    EXPECT_EQ(count_lines(p.err, "_2.mkv"), 1u);
    EXPECT_EQ(count_lines(p.err, "_1.ogg"), 1u);
}

TEST(OutputFailure, DiskFillsMidRun) {
    // A real capture, and a file-size limit far below its outputs: what was written before the
    // limit is whole, every file that hit it is named, and the status is 2.
    TempDir work;
    TempDir out;
    const harness::ProcessResult synth = harness::run_capture_synth(
        {"--out", work.path(), "--quiet", "--users", "2", "--duration", "3", "--seed", "4"});
    ASSERT_EQ(synth.status, 0) << synth.err;
    harness::Manifest manifest;
    std::string err;
    ASSERT_TRUE(harness::read_manifest(work.file("manifest.txt"), &manifest, &err)) << err;

    // sh's ulimit -f counts 512-byte blocks: 8 KiB per file, less than any output here.
    const harness::ConverterRun run =
        convert_with("trap '' XFSZ; ulimit -f 16;", work.slash(), out.path(), {"-v", "-a"});
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(run.out,
              "start trans video\ntrans video sucess\nstart trans audio\ntrans audio sucess \n");
    ASSERT_EQ(run.files.size(), manifest.streams.size());
    for (const auto& [key, path] : run.files) {
        SCOPED_TRACE(path);
        const harness::ManifestStream& want = manifest.streams.at(key);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        const bool full = st.st_size >= 16 * 512;
        const std::string name = path.substr(path.rfind('/') + 1);
        EXPECT_EQ(run.err.find(name) != std::string::npos, full) << run.err;
        if (key.second == Kind::video) {
            harness::IvfFile ivf;
            ASSERT_TRUE(harness::read_ivf(path, &ivf, &err)) << err;
            ASSERT_LE(ivf.frames.size(), want.frames.size());
            for (size_t i = 0; i < ivf.frames.size(); ++i)
                EXPECT_EQ(harness::fnv1a64(ivf.frames[i].data), want.frames[i].hash) << i;
        } else {
            harness::OggFile ogg;
            ASSERT_TRUE(harness::read_ogg(path, &ogg, &err)) << err;
            for (const auto& page : ogg.pages) EXPECT_TRUE(page.crc_ok);
            ASSERT_LE(ogg.packets.size(), want.packets.size() + 2);
            for (size_t i = 2; i < ogg.packets.size(); ++i)
                EXPECT_EQ(harness::fnv1a64(ogg.packets[i].data), want.packets[i - 2].hash) << i;
        }
    }
}

}  // namespace
