// End to end: captures made by the synthesizer go through the converter binary, and every output
// file is checked against the synthesizer's manifest and opened with real decoders.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using harness::Kind;
using harness::Manifest;
using harness::ManifestStream;
using harness::StreamKey;
using harness::TempDir;

const uint8_t kOpusHeadBody[19] = {0x4F, 0x70, 0x75, 0x73, 0x48, 0x65, 0x61, 0x64, 0x01, 0x02,
                                   0x00, 0x00, 0x80, 0xBB, 0x00, 0x00, 0x00, 0x00, 0x00};
const char kOpusTagsBody[] =
    "OpusTags\x14\x00\x00\x00opus rtp packet dump\x00\x00\x00\x00";  // 36 bytes

struct Checks {
    bool decode_video = true;  // every frame must decode (no frame of the stream was lost)
};

// The IVF file holds exactly the manifest's frames, with a correct header and length field.
void check_video(const std::string& path, const ManifestStream& want, const Checks& checks) {
    SCOPED_TRACE(path);
    harness::IvfFile ivf;
    std::string err;
    ASSERT_TRUE(harness::read_ivf(path, &ivf, &err)) << err;
    EXPECT_STREQ(ivf.header.fourcc, "VP80");
    EXPECT_EQ(ivf.header.header_size, 32);
    EXPECT_EQ(ivf.header.width, 640);
    EXPECT_EQ(ivf.header.height, 480);
    EXPECT_EQ(ivf.header.rate, 90000u);
    EXPECT_EQ(ivf.header.scale, 1u);
    EXPECT_EQ(ivf.trailing_bytes, 0u);
    ASSERT_EQ(ivf.frames.size(), want.frames.size());
    for (size_t i = 0; i < want.frames.size(); ++i) {
        const harness::IvfFrame& got = ivf.frames[i];
        EXPECT_EQ(got.timestamp, want.frames[i].timestamp) << "frame " << i;
        ASSERT_EQ(got.size, want.frames[i].size) << "frame " << i;
        EXPECT_EQ(harness::fnv1a64(got.data), want.frames[i].hash) << "frame " << i;
    }
    const uint64_t n = ivf.frames.size();
    if (n >= 2) {
        const uint64_t delta = ivf.frames.back().timestamp - ivf.frames.front().timestamp;
        EXPECT_EQ(ivf.header.length_field, static_cast<uint32_t>(n * delta / (n - 1)));
    } else {
        EXPECT_EQ(ivf.header.length_field, UINT64_MAX);
    }
    if (checks.decode_video && n > 0) {
        const harness::VpxCheck vpx = harness::vpx_decode_all(ivf.frames);
        EXPECT_TRUE(vpx.ok) << "decoded " << vpx.decoded << " of " << n << ": " << vpx.error;
    }
}

// The Ogg file holds the two header pages, then exactly the manifest's packets with granule
// positions that count their samples, and opusfile plays it to its last granule position.
void check_audio(const std::string& path, const ManifestStream& want) {
    SCOPED_TRACE(path);
    harness::OggFile ogg;
    std::string err;
    ASSERT_TRUE(harness::read_ogg(path, &ogg, &err)) << err;
    EXPECT_EQ(ogg.unparsed_bytes, 0u);
    ASSERT_GE(ogg.pages.size(), 2u);
    for (const harness::OggPageInfo& page : ogg.pages) EXPECT_TRUE(page.crc_ok) << page.offset;
    EXPECT_EQ(ogg.pages[0].header_type, 0x02);
    EXPECT_EQ(ogg.pages[0].body_len, 19u);
    EXPECT_EQ(ogg.pages[1].body_len, 36u);
    EXPECT_EQ(ogg.pages[0].granulepos, 0);
    EXPECT_EQ(ogg.pages[1].granulepos, 0);

    ASSERT_EQ(ogg.packets.size(), want.packets.size() + 2);
    EXPECT_EQ(ogg.packets[0].data, std::vector<uint8_t>(kOpusHeadBody, kOpusHeadBody + 19));
    EXPECT_EQ(ogg.packets[1].data, std::vector<uint8_t>(kOpusTagsBody, kOpusTagsBody + 36));
    int64_t granule = 0;
    for (size_t i = 0; i < want.packets.size(); ++i) {
        const harness::OggPacketInfo& got = ogg.packets[i + 2];
        ASSERT_EQ(got.data.size(), want.packets[i].size) << "packet " << i;
        EXPECT_EQ(harness::fnv1a64(got.data), want.packets[i].hash) << "packet " << i;
        granule += want.packets[i].samples;
        if (got.granulepos != -1) {
            EXPECT_EQ(got.granulepos, granule) << "packet " << i;
        }
    }
    if (!want.packets.empty()) {
        EXPECT_EQ(ogg.pages.back().granulepos, granule);
        const harness::OpusCheck opus = harness::opusfile_decode(path);
        EXPECT_TRUE(opus.ok) << opus.error;
        EXPECT_EQ(opus.pcm_total, granule);
        EXPECT_EQ(opus.samples, granule);
    }
}

struct RoundTrip {
    TempDir work;
    TempDir out;
    Manifest manifest;
    harness::ConverterRun run;
};

// Makes captures with `synth_args`, converts them with `converter_args` and reads the manifest.
void round_trip(RoundTrip* rt, std::vector<std::string> synth_args,
                const std::vector<std::string>& converter_args) {
    synth_args.insert(synth_args.begin(), {"--out", rt->work.path(), "--quiet"});
    const harness::ProcessResult synth = harness::run_capture_synth(synth_args);
    ASSERT_EQ(synth.status, 0) << synth.err;
    std::string err;
    ASSERT_TRUE(harness::read_manifest(rt->work.file("manifest.txt"), &rt->manifest, &err)) << err;
    rt->run = harness::run_converter(rt->work.slash(), converter_args, rt->out.path());
}

// Every stream of the manifest of the converted kinds has exactly its file, and it is right.
void check_all(const RoundTrip& rt, bool video, bool audio, const Checks& checks = {}) {
    EXPECT_TRUE(rt.run.other_files.empty());
    size_t expected_files = 0;
    for (const auto& [key, stream] : rt.manifest.streams) {
        const bool is_video = key.second == Kind::video;
        if ((is_video && !video) || (!is_video && !audio)) continue;
        ++expected_files;
        auto it = rt.run.files.find(key);
        ASSERT_NE(it, rt.run.files.end())
            << "no " << harness::kind_name(key.second) << " file for user " << key.first;
        if (is_video)
            check_video(it->second, stream, checks);
        else
            check_audio(it->second, stream);
    }
    EXPECT_EQ(rt.run.files.size(), expected_files);
}

TEST(RoundTrip, SamplesConvertWithTheFourStatusLines) {
    TempDir out;
    const harness::ConverterRun run =
        harness::run_converter(std::string(SOURCE_DIR) + "/samples/", {"-v", "-a"}, out.path());
    EXPECT_EQ(run.out,
              "start trans video\ntrans video sucess\nstart trans audio\ntrans audio sucess \n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    Manifest manifest;
    std::string err;
    ASSERT_TRUE(
        harness::read_manifest(std::string(SOURCE_DIR) + "/samples/manifest.txt", &manifest, &err))
        << err;
    ASSERT_EQ(run.files.size(), manifest.streams.size());
    for (const auto& [key, stream] : manifest.streams) {
        ASSERT_TRUE(run.files.count(key));
        if (key.second == Kind::video)
            check_video(run.files.at(key), stream, {});
        else
            check_audio(run.files.at(key), stream);
    }
}

TEST(RoundTrip, SeveralUsersAcrossFilesWithNumericKeys) {
    RoundTrip rt;
    round_trip(&rt, {"--users", "4", "--files", "4", "--keys", "2,9,10,100", "--seed", "11"},
               {"-v", "-a"});
    EXPECT_EQ(rt.run.status, 0) << rt.run.err;
    EXPECT_EQ(rt.run.err, "");
    check_all(rt, true, true);
}

TEST(RoundTrip, VideoOnlyLeavesAudioAlone) {
    RoundTrip rt;
    round_trip(&rt, {"--users", "2", "--seed", "3"}, {"-v"});
    EXPECT_EQ(rt.run.out, "start trans video\ntrans video sucess\n");
    check_all(rt, true, false);
}

struct Variant {
    const char* name;
    std::vector<std::string> synth_args;
    bool decode_video;
};

class RoundTripVariants : public ::testing::TestWithParam<Variant> {};

TEST_P(RoundTripVariants, OutputIsExactlyTheManifest) {
    RoundTrip rt;
    std::vector<std::string> args = GetParam().synth_args;
    args.insert(args.end(), {"--duration", "2", "--width", "160", "--height", "120"});
    round_trip(&rt, args, {"-v", "-a"});
    EXPECT_EQ(rt.run.status, 0) << rt.run.err;
    EXPECT_EQ(rt.run.err, "");
    check_all(rt, true, true, Checks{GetParam().decode_video});
}

INSTANTIATE_TEST_SUITE_P(
    Captures, RoundTripVariants,
    ::testing::Values(
        Variant{
            "header_variants",
            {"--users", "4", "--csrc", "0,1,15,2", "--ext", "0,1,3,0", "--padding", "0,0,7,200"},
            true},
        Variant{"descriptor_variants",
                {"--users", "5", "--vp8-desc", "none,pid7,pid15,full,lk", "--mtu", "300"},
                true},
        Variant{"near_wrap", {"--users", "2", "--near-wrap", "--seed", "5"}, true},
        Variant{"audio_10ms_stereo",
                {"--users", "2", "--audio-frame-ms", "10", "--channels", "2"},
                true},
        Variant{"audio_60ms", {"--users", "2", "--audio-frame-ms", "60"}, true},
        Variant{"audio_2_5ms", {"--users", "1", "--audio-frame-ms", "2.5"}, true},
        Variant{"drops", {"--users", "3", "--drop", "0.05", "--seed", "8"}, false},
        Variant{"duplicates", {"--users", "3", "--dup", "0.05", "--seed", "9"}, false},
        Variant{"reordering", {"--users", "3", "--reorder", "0.05", "--seed", "10"}, false},
        Variant{"pt121", {"--users", "2", "--pt121", "5", "--seed", "12"}, false},
        Variant{"everything_at_once",
                {"--users", "4", "--drop", "0.03", "--dup", "0.03", "--reorder", "0.03", "--pt121",
                 "3", "--near-wrap", "--csrc", "0,1,3", "--padding", "0,5", "--seed", "13"},
                false},
        Variant{"cut_short_last_record",
                {"--users", "2", "--cut-short", "video", "--cut-short", "audio"},
                false},
        Variant{
            "cut_short_middle_file",
            {"--users", "2", "--files", "3", "--cut-short", "video:1", "--cut-short", "audio:0"},
            false},
        Variant{"zero_record_in_second_of_three",
                {"--users", "3", "--files", "3", "--zero-record", "video:96", "--zero-record",
                 "audio:150"},
                false},
        Variant{"stray_bytes",
                {"--users", "2", "--files", "3", "--stray", "video:0:5", "--stray", "audio:1:7"},
                false}),
    [](const ::testing::TestParamInfo<Variant>& info) { return std::string(info.param.name); });

TEST(RoundTrip, EmptyCaptureFileIsSkipped) {
    RoundTrip rt;
    round_trip(&rt, {"--users", "2", "--files", "2", "--keys", "5,7", "--duration", "1"}, {});
    harness::write_file(rt.work.file("cap_6.video"), {}, nullptr);
    harness::write_file(rt.work.file("cap_6.audio"), {}, nullptr);
    rt.run = harness::run_converter(rt.work.slash(), {"-v", "-a"}, rt.out.path());
    EXPECT_EQ(rt.run.status, 0);
    check_all(rt, true, true);
}

}  // namespace

namespace {

// A '_' in the work path gives every listed path the same ordering key; the files must still be
// read in the order of their names' keys. The same captures under three work paths: "rec7/",
// "rec_7/" (every path's key is 7) and "my_dir/" (every key text begins with "dir/", key 0).
TEST(RoundTrip, WorkPathWithUnderscoresKeepsTheFileOrder) {
    RoundTrip rt;
    round_trip(&rt,
               {"--users", "3", "--files", "9", "--keys", "3,8,21,40,41,57,300,1000,1001",
                "--duration", "3", "--width", "160", "--height", "120", "--seed", "17"},
               {});
    std::map<StreamKey, std::vector<uint8_t>> first;
    for (const char* sub : {"rec7", "rec_7", "my_dir"}) {
        SCOPED_TRACE(sub);
        const std::string work = rt.work.subdir(sub);
        // Written in an order that is neither the key order nor its reverse.
        std::vector<std::string> names = harness::list_names(rt.work.path());
        std::rotate(names.begin(), names.begin() + names.size() / 3, names.end());
        for (const std::string& name : names) {
            std::vector<uint8_t> bytes;
            if (name.find('.') == std::string::npos ||
                !harness::read_file(rt.work.file(name), &bytes, nullptr))
                continue;
            ASSERT_TRUE(harness::write_file(work + "/" + name, bytes, nullptr));
        }
        TempDir out;
        rt.run = harness::run_converter(work + "/", {"-v", "-a"}, out.path());
        EXPECT_EQ(rt.run.status, 0) << rt.run.err;
        check_all(rt, true, true);
        for (const auto& [key, path] : rt.run.files) {
            std::vector<uint8_t> bytes;
            ASSERT_TRUE(harness::read_file(path, &bytes, nullptr));
            if (!first.count(key)) first[key] = bytes;
            EXPECT_TRUE(first[key] == bytes) << path << " differs from the run under rec7/";
        }
    }
}

}  // namespace
