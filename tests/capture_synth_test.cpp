// The capture synthesizer and the harness readers the round-trip tests rely on.

#include <gtest/gtest.h>
#include <opus/opus.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "harness.h"
#include "rtp_packet.h"

using harness::CaptureStream;
using harness::Kind;
using harness::Manifest;
using harness::StreamKey;
using harness::TempDir;

namespace {

using Bytes = std::vector<uint8_t>;

// ---- Small readers written from the wire formats, independent of the tool ---------------------

struct Frame {
    uint32_t timestamp;
    Bytes data;
};

// Strips the VP8 payload descriptor (RFC 7741); returns the descriptor length, or -1.
int vp8_descriptor_length(const uint8_t* p, int n, bool* start) {
    if (n < 1) return -1;
    int i = 1;
    *start = (p[0] & 0x10) != 0;
    if (p[0] & 0x80) {
        if (i >= n) return -1;
        const uint8_t ext = p[i++];
        if (ext & 0x80) {
            if (i >= n) return -1;
            i += (p[i] & 0x80) ? 2 : 1;
        }
        if (ext & 0x40) ++i;
        if (ext & 0x30) ++i;
    }
    return i <= n ? i : -1;
}

// Whole frames of an unimpaired stream: a frame starts at S and ends at the marker.
std::map<uint32_t, std::vector<Frame>> reassemble(const CaptureStream& s) {
    std::map<uint32_t, std::vector<Frame>> out;
    std::map<uint32_t, Frame> pending;
    for (const auto& r : s.records) {
        rtp_packet_t pkt;
        if (rtp_packet_deserialize(&pkt, r.packet.data(), static_cast<int>(r.packet.size())) != 0)
            continue;
        const uint8_t* pl = static_cast<const uint8_t*>(pkt.payload);
        bool start = false;
        int d = vp8_descriptor_length(pl, pkt.payloadlen, &start);
        if (d < 0 || pkt.rtp.pt == 121) continue;
        Frame& f = pending[r.uid];
        if (start) f = Frame{pkt.rtp.timestamp, {}};
        f.data.insert(f.data.end(), pl + d, pl + pkt.payloadlen);
        if (pkt.rtp.m) out[r.uid].push_back(std::move(f));
    }
    return out;
}

struct AudioPacket {
    uint16_t seq;
    Bytes data;
};
std::map<uint32_t, std::vector<AudioPacket>> audio_payloads(const CaptureStream& s) {
    std::map<uint32_t, std::vector<AudioPacket>> out;
    for (const auto& r : s.records) {
        rtp_packet_t pkt;
        if (rtp_packet_deserialize(&pkt, r.packet.data(), static_cast<int>(r.packet.size())) != 0)
            continue;
        const uint8_t* pl = static_cast<const uint8_t*>(pkt.payload);
        out[r.uid].push_back({pkt.rtp.seq, Bytes(pl, pl + pkt.payloadlen)});
    }
    return out;
}

CaptureStream read_dir(const std::string& dir, Kind kind) {
    CaptureStream s;
    std::string err;
    EXPECT_TRUE(harness::read_capture_dir(dir, kind, &s, &err)) << err;
    return s;
}

Manifest manifest_of(const std::string& dir) {
    Manifest m;
    std::string err;
    EXPECT_TRUE(harness::read_manifest(dir + "/manifest.txt", &m, &err)) << err;
    return m;
}

void synth(const std::vector<std::string>& args) {
    auto r = harness::run_capture_synth(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

// Small and quick: two users, one second, small pictures split into several packets.
std::vector<std::string> small_args(const std::string& out) {
    return {"--out",    out,   "--users", "2",   "--duration", "1", "--width", "160",
            "--height", "120", "--mtu",   "200", "--seed",     "7", "--quiet"};
}

void write_bytes(const std::string& path, const Bytes& b) {
    std::string err;
    ASSERT_TRUE(harness::write_file(path, b, &err)) << err;
}

// ---- Harness readers ------------------------------------------------------------------------

TEST(Fnv1a64, KnownValues) {
    EXPECT_EQ(harness::fnv1a64("", 0), 0xcbf29ce484222325ULL);
    EXPECT_EQ(harness::fnv1a64("a", 1), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(harness::fnv1a64("foobar", 6), 0x85944171f73967e8ULL);
}

TEST(CaptureReader, RecordLayoutsKeyOrderAndBrokenTails) {
    TempDir dir;
    const Bytes pkt12 = {0x80, 0x60, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3};
    // Video head: Length 12, uid 42; a second record of uid 7; then 5 stray bytes.
    Bytes v100 = {0x0C, 0, 0, 0, 0x2A, 0, 0, 0};
    v100.insert(v100.end(), pkt12.begin(), pkt12.end());
    v100.insert(v100.end(), {0x0C, 0, 0, 0, 0x07, 0, 0, 0});
    v100.insert(v100.end(), pkt12.begin(), pkt12.end());
    v100.insert(v100.end(), {1, 2, 3, 4, 5});
    // Key 20 comes before key 100: a record whose Length (3) runs past the end of its file.
    Bytes v20 = {0x0C, 0, 0, 0, 0x01, 0, 0, 0};
    v20.insert(v20.end(), pkt12.begin(), pkt12.end());
    v20.insert(v20.end(), {0x03, 0, 0, 0, 0x01, 0, 0, 0, 0xAA, 0xBB});
    write_bytes(dir.file("a_100.video"), v100);
    write_bytes(dir.file("b_20.video"), v20);
    write_bytes(dir.file("a_5.audio"), {});

    CaptureStream s = read_dir(dir.path(), Kind::video);
    ASSERT_EQ(s.files.size(), 2u);
    EXPECT_EQ(s.files[0], dir.file("b_20.video"));
    ASSERT_EQ(s.records.size(), 3u);
    EXPECT_EQ(s.records[0].uid, 1u);
    EXPECT_EQ(s.records[1].uid, 42u);
    EXPECT_EQ(s.records[2].uid, 7u);
    EXPECT_EQ(s.records[1].packet, pkt12);
    EXPECT_EQ(s.cut_files, 2);
    EXPECT_FALSE(s.ended_by_zero);

    // Audio head: 8 leading bytes, uid 42, Length 12; then a head of Length 0 ends the stream.
    Bytes a = {1, 2, 3, 4, 5, 6, 7, 8, 0x2A, 0, 0, 0, 0x0C, 0, 0, 0};
    a.insert(a.end(), pkt12.begin(), pkt12.end());
    a.insert(a.end(), {0, 0, 0, 0, 0, 0, 0, 0, 0x2A, 0, 0, 0, 0, 0, 0, 0});
    write_bytes(dir.file("a_6.audio"), a);
    write_bytes(dir.file("a_7.audio"), a);
    s = read_dir(dir.path(), Kind::audio);
    ASSERT_EQ(s.records.size(), 1u);
    EXPECT_EQ(s.records[0].uid, 42u);
    EXPECT_EQ(s.records[0].leading, 0x0807060504030201ULL);
    EXPECT_TRUE(s.ended_by_zero);
}

TEST(ManifestReader, ParsesAndRejects) {
    TempDir dir;
    const std::string good =
        "capture_synth manifest 1\n# comment\nuser 4294967295 video 1\n"
        "frame 4294967295 12 00000000000000ff\nuser 3 audio 2\npacket 3 cbf29ce484222325 960 "
        "65535\npacket 1 0 120 0\nuser 9 audio 0\nend\n";
    write_bytes(dir.file("m.txt"), Bytes(good.begin(), good.end()));
    Manifest m;
    std::string err;
    ASSERT_TRUE(harness::read_manifest(dir.file("m.txt"), &m, &err)) << err;
    ASSERT_EQ(m.streams.size(), 3u);
    const auto& v = m.streams.at(StreamKey(4294967295u, Kind::video));
    ASSERT_EQ(v.frames.size(), 1u);
    EXPECT_EQ(v.frames[0].timestamp, 4294967295u);
    EXPECT_EQ(v.frames[0].hash, 0xffu);
    const auto& a = m.streams.at(StreamKey(3, Kind::audio));
    ASSERT_EQ(a.packets.size(), 2u);
    EXPECT_EQ(a.packets[0].seq, 65535);
    EXPECT_EQ(a.packets[0].samples, 960);
    EXPECT_TRUE(m.streams.at(StreamKey(9, Kind::audio)).packets.empty());

    const char* bad[] = {
        "capture_synth manifest 1\nuser 1 video 2\nframe 1 2 3\nend\n",  // count mismatch
        "capture_synth manifest 1\nuser 1 video 0\n",                    // no end
        "capture_synth manifest 1\npacket 1 2 3 4\nend\n",               // entry outside a user
        "something else\nend\n",
    };
    for (const char* text : bad) {
        std::string t = text;
        write_bytes(dir.file("bad.txt"), Bytes(t.begin(), t.end()));
        EXPECT_FALSE(harness::read_manifest(dir.file("bad.txt"), &m, &err)) << text;
    }
}

// ---- The tool -------------------------------------------------------------------------------

TEST(CaptureSynth, HelpAndBadArguments) {
    auto help = harness::run_capture_synth({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: capture_synth"), std::string::npos);
    EXPECT_NE(help.out.find("--clip-frames"), std::string::npos);

    TempDir dir;
    const std::vector<std::vector<std::string>> bad = {
        {"--users", "2"},  // no --out
        {"--out", dir.path(), "--users", "x"},
        {"--out", dir.path(), "--audio-frame-ms", "7"},
        {"--out", dir.path(), "--vp8-desc", "pid9"},
        {"--out", dir.path(), "--csrc", "16"},
        {"--out", dir.path(), "--csrc", "15", "--ext", "4", "--padding", "255", "--mtu", "300"},
        {"--out", dir.path(), "--drop-at", "video:5:1", "--users", "2"},
        {"--out", dir.path(), "--prefix", "a_b"},
        {"--out", dir.path(), "--bogus"},
        {"--out", dir.path(), "--video-in", dir.file("missing.ivf")},
        {"--out", dir.path(), "--ulpfec-pt", "120"},  // ULPFEC travels inside RED
        {"--out", dir.path(), "--red-pt", "128"},
    };
    for (const auto& args : bad) {
        auto r = harness::run_capture_synth(args);
        EXPECT_NE(r.status, 0) << args.back();
        EXPECT_NE(r.err.find("capture_synth: "), std::string::npos) << args.back();
        EXPECT_EQ(r.out, "") << args.back();
    }
}

struct HeaderCase {
    const char* name;
    std::vector<std::string> args;
    int cc;
    bool x;
    bool p;
};

TEST(CaptureSynth, PacketsParseWithTheirHeaderVariants) {
    const HeaderCase cases[] = {
        {"default: one CSRC, 16-byte header", {}, 1, false, false},
        {"no CSRC", {"--csrc", "0"}, 0, false, false},
        {"extension", {"--csrc", "2", "--ext", "3"}, 2, true, false},
        {"padding", {"--padding", "7"}, 1, false, true},
        {"all", {"--csrc", "15", "--ext", "4", "--padding", "255", "--mtu", "700"}, 15, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        auto args = small_args(dir.path());
        args.insert(args.end(), c.args.begin(), c.args.end());
        synth(args);
        for (Kind kind : {Kind::video, Kind::audio}) {
            CaptureStream s = read_dir(dir.path(), kind);
            ASSERT_FALSE(s.records.empty());
            std::map<uint32_t, uint16_t> next_seq;
            for (const auto& r : s.records) {
                rtp_packet_t pkt;
                ASSERT_EQ(rtp_packet_deserialize(&pkt, r.packet.data(),
                                                 static_cast<int>(r.packet.size())),
                          0);
                EXPECT_EQ(pkt.rtp.v, 2);
                EXPECT_EQ(pkt.rtp.cc, c.cc);
                EXPECT_EQ(pkt.rtp.x, c.x);
                EXPECT_EQ(pkt.rtp.p, c.p);
                EXPECT_EQ(pkt.rtp.pt, kind == Kind::video ? 96 : 111);
                EXPECT_GT(pkt.payloadlen, 0);
                if (c.x) {
                    EXPECT_EQ(pkt.extprofile, 0xBEDE);
                }
                if (!c.x && !c.p) {
                    EXPECT_EQ(static_cast<const uint8_t*>(pkt.payload),
                              r.packet.data() + 12 + 4 * c.cc);
                }
                if (kind == Kind::video) {
                    EXPECT_LE(r.packet.size(), c.cc == 15 ? 700u : 200u);
                }
                if (next_seq.count(r.uid)) {
                    EXPECT_EQ(pkt.rtp.seq, next_seq[r.uid]);
                }
                next_seq[r.uid] = static_cast<uint16_t>(pkt.rtp.seq + 1);
            }
        }
    }
}

TEST(CaptureSynth, FramesAndPacketsAreTheMediaThatWentIn) {
    TempDir dir;
    const std::string src = dir.subdir("src");
    const std::string cap = dir.subdir("cap");
    auto args = small_args(cap);
    args.insert(args.end(), {"--users", "3", "--files", "4", "--vp8-desc", "none,pid7,full",
                             "--uids", "5,4294967295,70", "--save-sources", src});
    synth(args);

    // Four files per kind, keys 9, 10, 100, 1000: numeric order, not text order.
    CaptureStream v = read_dir(cap, Kind::video);
    ASSERT_EQ(v.files.size(), 4u);
    EXPECT_EQ(v.files[0], cap + "/cap_9.video");
    EXPECT_EQ(v.files[3], cap + "/cap_1000.video");
    EXPECT_EQ(v.cut_files, 0);
    // Users are interleaved in capture-time order, and every file holds records.
    std::vector<bool> file_used(4, false);
    int switches = 0;
    for (size_t i = 0; i < v.records.size(); ++i) {
        file_used[v.records[i].file_index] = true;
        if (i > 0 && v.records[i].uid != v.records[i - 1].uid) ++switches;
    }
    EXPECT_EQ(std::count(file_used.begin(), file_used.end(), true), 4);
    EXPECT_GT(switches, 30);

    auto frames = reassemble(v);
    ASSERT_EQ(frames.size(), 3u);
    for (uint32_t uid : {5u, 4294967295u, 70u}) {
        SCOPED_TRACE(uid);
        harness::IvfFile ivf;
        std::string err;
        ASSERT_TRUE(harness::read_ivf(src + "/video_" + std::to_string(uid) + ".ivf", &ivf, &err))
            << err;
        const auto& got = frames[uid];
        ASSERT_EQ(got.size(), ivf.frames.size());
        ASSERT_EQ(got.size(), 30u);
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].data, ivf.frames[i].data) << "frame " << i;
            EXPECT_EQ(got[i].timestamp - got[0].timestamp, 3000u * i);
        }
        auto dec = harness::vpx_decode_all(ivf.frames);
        EXPECT_TRUE(dec.ok) << dec.error;
        EXPECT_EQ(dec.width, 160u);
    }

    auto audio = audio_payloads(read_dir(cap, Kind::audio));
    ASSERT_EQ(audio.size(), 3u);
    for (uint32_t uid : {5u, 4294967295u, 70u}) {
        SCOPED_TRACE(uid);
        harness::OggFile ogg;
        std::string err;
        const std::string path = src + "/audio_" + std::to_string(uid) + ".opus";
        ASSERT_TRUE(harness::read_ogg(path, &ogg, &err)) << err;
        for (const auto& page : ogg.pages) EXPECT_TRUE(page.crc_ok);
        ASSERT_EQ(ogg.packets.size(), audio[uid].size() + 2);  // OpusHead, OpusTags
        for (size_t i = 0; i < audio[uid].size(); ++i) {
            EXPECT_EQ(audio[uid][i].data, ogg.packets[i + 2].data) << "packet " << i;
            if (i > 0) {
                EXPECT_EQ(static_cast<uint16_t>(audio[uid][i].seq - audio[uid][i - 1].seq), 1);
            }
        }
        auto dec = harness::opusfile_decode(path);
        ASSERT_TRUE(dec.ok) << dec.error;
        EXPECT_EQ(dec.samples, dec.pcm_total);
        EXPECT_EQ(dec.pcm_total + 312, 960 * static_cast<int64_t>(audio[uid].size()));
    }
}

// The manifest must say exactly what was written when nothing is impaired.
void expect_manifest_matches_captures(const std::string& dir) {
    Manifest m = manifest_of(dir);
    auto frames = reassemble(read_dir(dir, Kind::video));
    auto audio = audio_payloads(read_dir(dir, Kind::audio));
    EXPECT_EQ(m.streams.size(), frames.size() + audio.size());
    for (const auto& [uid, list] : frames) {
        SCOPED_TRACE(uid);
        const auto& ms = m.streams.at(StreamKey(uid, Kind::video));
        ASSERT_EQ(ms.frames.size(), list.size());
        for (size_t i = 0; i < list.size(); ++i) {
            EXPECT_EQ(ms.frames[i].timestamp, list[i].timestamp);
            EXPECT_EQ(ms.frames[i].size, list[i].data.size());
            EXPECT_EQ(ms.frames[i].hash, harness::fnv1a64(list[i].data));
        }
    }
    for (const auto& [uid, list] : audio) {
        SCOPED_TRACE(uid);
        const auto& ms = m.streams.at(StreamKey(uid, Kind::audio));
        ASSERT_EQ(ms.packets.size(), list.size());
        for (size_t i = 0; i < list.size(); ++i) {
            EXPECT_EQ(ms.packets[i].size, list[i].data.size());
            EXPECT_EQ(ms.packets[i].hash, harness::fnv1a64(list[i].data));
            EXPECT_EQ(ms.packets[i].seq, list[i].seq);
            EXPECT_EQ(
                ms.packets[i].samples,
                opus_packet_get_nb_samples(list[i].data.data(),
                                           static_cast<opus_int32>(list[i].data.size()), 48000));
        }
    }
}

TEST(CaptureSynth, ManifestMatchesWhatWasWritten) {
    const std::vector<std::vector<std::string>> variants = {
        {},
        {"--near-wrap", "--audio-frame-ms", "2.5", "--channels", "2", "--signal", "chirp"},
        {"--ext", "1,2", "--padding", "0,3", "--vp8-desc", "lk,pid15", "--audio-frame-ms", "60"},
    };
    for (const auto& extra : variants) {
        TempDir dir;
        auto args = small_args(dir.path());
        args.insert(args.end(), extra.begin(), extra.end());
        synth(args);
        expect_manifest_matches_captures(dir.path());
    }
}

TEST(CaptureSynth, NearWrapCrossesBothWraps) {
    TempDir dir;
    auto args = small_args(dir.path());
    args.push_back("--near-wrap");
    synth(args);
    for (Kind kind : {Kind::video, Kind::audio}) {
        std::map<uint32_t, std::pair<bool, bool>> wrapped;  // seq, timestamp
        std::map<uint32_t, rtp_packet_t> last;
        for (const auto& r : read_dir(dir.path(), kind).records) {
            rtp_packet_t pkt;
            ASSERT_EQ(
                rtp_packet_deserialize(&pkt, r.packet.data(), static_cast<int>(r.packet.size())),
                0);
            if (last.count(r.uid)) {
                if (pkt.rtp.seq < last[r.uid].rtp.seq) wrapped[r.uid].first = true;
                if (pkt.rtp.timestamp < last[r.uid].rtp.timestamp) wrapped[r.uid].second = true;
            }
            last[r.uid] = pkt;
        }
        ASSERT_EQ(wrapped.size(), 2u);
        for (const auto& [uid, w] : wrapped) {
            EXPECT_TRUE(w.first) << uid;
            EXPECT_TRUE(w.second) << uid;
        }
    }
}

TEST(CaptureSynth, InputFilesAndClipsAreCycled) {
    TempDir dir;
    const std::string src = dir.subdir("src");
    auto args = small_args(dir.subdir("a"));
    args.insert(args.end(), {"--users", "1", "--uids", "12", "--save-sources", src});
    synth(args);

    // The saved one-second sources sent for 2.5 seconds: 75 frames cycling through 30.
    const std::string cap = dir.subdir("b");
    synth({"--out", cap, "--users", "2", "--duration", "2.5", "--video-in", src + "/video_12.ivf",
           "--audio-in", src + "/audio_12.opus", "--quiet"});
    harness::IvfFile ivf;
    std::string err;
    ASSERT_TRUE(harness::read_ivf(src + "/video_12.ivf", &ivf, &err)) << err;
    for (const auto& [uid, frames] : reassemble(read_dir(cap, Kind::video))) {
        ASSERT_EQ(frames.size(), 75u) << uid;
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].data, ivf.frames[i % 30].data) << i;
            EXPECT_EQ(frames[i].timestamp - frames[0].timestamp, 3000u * i);
        }
    }
    harness::OggFile ogg;
    ASSERT_TRUE(harness::read_ogg(src + "/audio_12.opus", &ogg, &err)) << err;
    for (const auto& [uid, packets] : audio_payloads(read_dir(cap, Kind::audio))) {
        ASSERT_EQ(packets.size(), 125u) << uid;
        for (size_t i = 0; i < packets.size(); ++i)
            EXPECT_EQ(packets[i].data, ogg.packets[2 + i % 50].data) << i;
    }
    expect_manifest_matches_captures(cap);

    // --clip-frames: one short encode shared by all users, repeated.
    const std::string clip = dir.subdir("c");
    auto cargs = small_args(clip);
    cargs.insert(cargs.end(), {"--clip-frames", "10"});
    synth(cargs);
    for (const auto& [uid, frames] : reassemble(read_dir(clip, Kind::video))) {
        ASSERT_EQ(frames.size(), 30u);
        for (size_t i = 10; i < frames.size(); ++i) EXPECT_EQ(frames[i].data, frames[i - 10].data);
    }
}

// ---- Impairments change the manifest exactly as the reassembly rules say ---------------------

// Index, in one user's packet list, of a packet of the given position in a multi-packet frame,
// and the timestamp of its frame.
enum class Where { first, middle, last };
std::pair<long, uint32_t> find_packet(const CaptureStream& s, uint32_t uid, Where where) {
    std::vector<rtp_packet_t> pk;
    for (const auto& r : s.records) {
        if (r.uid != uid) continue;
        rtp_packet_t p;
        rtp_packet_deserialize(&p, r.packet.data(), static_cast<int>(r.packet.size()));
        pk.push_back(p);
    }
    // Pick a frame of at least three packets after the first few, where nothing is special.
    for (size_t i = 5; i + 2 < pk.size(); ++i) {
        bool begins = i > 0 && pk[i - 1].rtp.m;
        if (begins && pk[i].rtp.timestamp == pk[i + 2].rtp.timestamp && !pk[i + 1].rtp.m) {
            size_t at = i;
            if (where == Where::middle) at = i + 1;
            if (where == Where::last)
                for (at = i; !pk[at].rtp.m; ++at) {
                }
            return {static_cast<long>(at), pk[i].rtp.timestamp};
        }
    }
    return {-1, 0};
}

std::vector<harness::ManifestFrame> without_frame(std::vector<harness::ManifestFrame> f,
                                                  uint32_t ts) {
    f.erase(std::remove_if(f.begin(), f.end(), [&](const auto& x) { return x.timestamp == ts; }),
            f.end());
    return f;
}

bool same_frames(const std::vector<harness::ManifestFrame>& a,
                 const std::vector<harness::ManifestFrame>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.timestamp == y.timestamp && x.size == y.size && x.hash == y.hash;
    });
}

// True when `part` is `whole` with some entries left out (order kept).
template <typename T, typename Eq>
bool is_subsequence(const std::vector<T>& part, const std::vector<T>& whole, Eq eq) {
    size_t j = 0;
    for (const auto& x : part) {
        while (j < whole.size() && !eq(x, whole[j])) ++j;
        if (j++ >= whole.size()) return false;
    }
    return true;
}

class Impairments : public ::testing::Test {
protected:
    void SetUp() override {
        base_dir_ = dir_.subdir("base");
        synth(small_args(base_dir_));
        base_ = manifest_of(base_dir_);
        video_ = read_dir(base_dir_, Kind::video);
        ASSERT_EQ(base_.streams.size(), 4u);
    }
    Manifest with(const std::vector<std::string>& extra) {
        const std::string out = dir_.subdir("run" + std::to_string(runs_++));
        auto args = small_args(out);
        args.insert(args.end(), extra.begin(), extra.end());
        synth(args);
        return manifest_of(out);
    }
    TempDir dir_;
    std::string base_dir_;
    Manifest base_;
    CaptureStream video_;
    int runs_ = 0;
};

TEST(VideoLoss, ALostPacketRemovesExactlyItsFrame) {
    // --drop-at names users by index, in the order of --uids; explicit ids fix that order.
    for (Where where : {Where::first, Where::middle, Where::last}) {
        SCOPED_TRACE(static_cast<int>(where));
        TempDir d;
        auto args = small_args(d.subdir("base"));
        args.insert(args.end(), {"--uids", "300,20"});
        synth(args);
        Manifest base = manifest_of(d.file("base"));
        auto [index, ts] = find_packet(read_dir(d.file("base"), Kind::video), 20, where);
        ASSERT_GE(index, 0);
        auto dargs = small_args(d.subdir("drop"));
        dargs.insert(dargs.end(),
                     {"--uids", "300,20", "--drop-at", "video:1:" + std::to_string(index)});
        synth(dargs);
        Manifest m = manifest_of(d.file("drop"));
        const auto& before = base.streams.at(StreamKey(20, Kind::video)).frames;
        const auto& after = m.streams.at(StreamKey(20, Kind::video)).frames;
        EXPECT_EQ(after.size() + 1, before.size());
        EXPECT_TRUE(same_frames(after, without_frame(before, ts)));
        EXPECT_TRUE(same_frames(m.streams.at(StreamKey(300, Kind::video)).frames,
                                base.streams.at(StreamKey(300, Kind::video)).frames));
    }
}

TEST_F(Impairments, ManifestChangesPerImpairment) {
    auto frames_eq = [](const auto& x, const auto& y) {
        return x.hash == y.hash && x.timestamp == y.timestamp;
    };
    auto packets_eq = [](const auto& x, const auto& y) {
        return x.hash == y.hash && x.seq == y.seq;
    };
    auto count = [](const Manifest& m, Kind kind) {
        size_t n = 0;
        for (const auto& [key, s] : m.streams)
            if (key.second == kind) n += kind == Kind::video ? s.frames.size() : s.packets.size();
        return n;
    };
    const size_t base_frames = count(base_, Kind::video);
    const size_t base_packets = count(base_, Kind::audio);

    struct Case {
        const char* name;
        std::vector<std::string> args;
        int frames_delta;  // -1: fewer (some), 0: same, 1: more
        int packets_delta;
    };
    const Case cases[] = {
        {"a lost audio packet", {"--drop-at", "audio:0:10"}, 0, -1},
        {"stray bytes after whole records lose nothing",
         {"--stray", "video:0:5", "--stray", "audio:last:40"},
         0,
         0},
        {"audio duplicates are written", {"--dup", "0.1", "--impair", "audio"}, 0, 1},
        {"video duplicates lose frames", {"--dup", "0.1", "--impair", "video"}, -1, 0},
        {"reordered video loses frames", {"--reorder", "0.1", "--impair", "video"}, -1, 0},
        {"payload type 121 takes a sequence number", {"--pt121", "3"}, -1, 0},
        {"random drops", {"--drop", "0.05"}, -1, -1},
        {"a cut-short last audio record", {"--cut-short", "audio"}, 0, -1},
        {"a zero-length record ends the video pass", {"--zero-record", "video:40"}, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Manifest m = with(c.args);
        const size_t frames = count(m, Kind::video), packets = count(m, Kind::audio);
        auto sign = [](size_t a, size_t b) { return a < b ? -1 : a > b ? 1 : 0; };
        EXPECT_EQ(sign(frames, base_frames), c.frames_delta);
        EXPECT_EQ(sign(packets, base_packets), c.packets_delta);
        for (const auto& [key, s] : m.streams) {
            const auto& b = base_.streams.at(key);
            if (key.second == Kind::video) {
                EXPECT_TRUE(is_subsequence(s.frames, b.frames, frames_eq));
            } else if (c.packets_delta <= 0) {
                EXPECT_TRUE(is_subsequence(s.packets, b.packets, packets_eq));
            }
        }
    }

    // Exactly one packet for the lost one and for the cut-short record.
    EXPECT_EQ(count(with({"--drop-at", "audio:1:0"}), Kind::audio), base_packets - 1);
    EXPECT_EQ(count(with({"--cut-short", "audio:last"}), Kind::audio), base_packets - 1);
    // The zero-length record: only frames whose packets all came before it survive.
    Manifest z = with({"--zero-record", "video:40"});
    size_t before_zero = 0;
    for (const auto& [uid, frames] : reassemble([&] {
             CaptureStream s = video_;
             s.records.resize(40);
             return s;
         }()))
        before_zero += frames.size();
    EXPECT_EQ(count(z, Kind::video), before_zero);
}

TEST(Samples, ManifestMatchesTheCheckedInCaptures) {
    const std::string dir = std::string(SOURCE_DIR) + "/samples";
    expect_manifest_matches_captures(dir);
    Manifest m = manifest_of(dir);
    EXPECT_GE(m.streams.size(), 4u);
    for (Kind kind : {Kind::video, Kind::audio})
        for (const auto& r : read_dir(dir, kind).records) {
            rtp_packet_t pkt;
            ASSERT_EQ(
                rtp_packet_deserialize(&pkt, r.packet.data(), static_cast<int>(r.packet.size())),
                0);
            EXPECT_EQ(pkt.rtp.cc, 1);
        }
}

}  // namespace
