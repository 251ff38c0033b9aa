#include "user_audio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "audio_support.h"
#include "harness.h"
#include "opus_unpack.h"
#include "utils.h"

using audio_test::Bytes;
using audio_test::OggPage;
using audio_test::RtpShape;

namespace {

const Bytes kOpusHead = {0x4F, 0x70, 0x75, 0x73, 0x48, 0x65, 0x61, 0x64, 0x01, 0x02,
                         0x00, 0x00, 0x80, 0xBB, 0x00, 0x00, 0x00, 0x00, 0x00};

// "OpusTags", vendor length 20, "opus rtp packet dump", no user comments.
const Bytes kOpusTags = {0x4F, 0x70, 0x75, 0x73, 0x54, 0x61, 0x67, 0x73, 0x14, 0x00, 0x00, 0x00,
                         0x6F, 0x70, 0x75, 0x73, 0x20, 0x72, 0x74, 0x70, 0x20, 0x70, 0x61, 0x63,
                         0x6B, 0x65, 0x74, 0x20, 0x64, 0x75, 0x6D, 0x70, 0x00, 0x00, 0x00, 0x00};

void put(muopus::user_audio& ua, const Bytes& rtp) {
    std::unique_ptr<uint8_t[]> data(new uint8_t[rtp.size() ? rtp.size() : 1]);
    if (!rtp.empty()) memcpy(data.get(), rtp.data(), rtp.size());
    ua.put_rtp_data(std::move(data), rtp.size());
}

std::vector<Bytes> audio_packets(const std::vector<OggPage>& pages) {
    std::vector<Bytes> packets;
    for (size_t i = 2; i < pages.size(); ++i)
        packets.insert(packets.end(), pages[i].packets.begin(), pages[i].packets.end());
    return packets;
}

std::vector<int64_t> audio_granules(const std::vector<OggPage>& pages) {
    std::vector<int64_t> granules;
    for (size_t i = 2; i < pages.size(); ++i) granules.push_back(pages[i].granule);
    return granules;
}

// One audio capture record of user `uid`: 8 leading bytes, the user id, the length, the packet.
void add_record(Bytes* capture, uint32_t uid, const Bytes& rtp) {
    capture->insert(capture->end(), 8, 0);
    for (uint32_t v : {uid, static_cast<uint32_t>(rtp.size())})
        for (int i = 0; i < 4; ++i) capture->push_back(static_cast<uint8_t>(v >> (8 * i)));
    capture->insert(capture->end(), rtp.begin(), rtp.end());
}

class UserAudioTest : public ::testing::Test {
protected:
    // Writes one user's file from `records`; with `page_per_packet` every audio packet is forced
    // onto a page of its own so that each page's granule position is that packet's.
    std::vector<OggPage> write_file(const std::vector<Bytes>& records, bool page_per_packet) {
        muopus::user_audio ua(1234);
        for (const Bytes& r : records) {
            put(ua, r);
            if (page_per_packet) ua.ogg_flush();
        }
        const std::string name = ua.name;
        ua.flush_all();
        return audio_test::read_ogg_pages(dir_.file(name));
    }

    harness::TempDir dir_;
    audio_test::ScopedChdir cd_{dir_.path()};
};

TEST_F(UserAudioTest, SingleRecordGivesTwoHeaderPagesAndOneAudioPage) {
    const Bytes opus = audio_test::encode_tone(1, 20)[0];
    const std::vector<OggPage> pages = write_file({audio_test::make_rtp(7, opus)}, false);
    ASSERT_EQ(pages.size(), 3u);

    EXPECT_EQ(pages[0].body, kOpusHead);
    EXPECT_EQ(pages[0].flags, 0x02);  // beginning of stream
    EXPECT_EQ(pages[0].granule, 0);
    EXPECT_EQ(pages[0].sequence, 0u);
    ASSERT_EQ(pages[0].packets.size(), 1u);

    EXPECT_EQ(pages[1].body, kOpusTags);
    EXPECT_EQ(pages[1].flags, 0x00);
    EXPECT_EQ(pages[1].granule, 0);
    EXPECT_EQ(pages[1].sequence, 1u);
    ASSERT_EQ(pages[1].packets.size(), 1u);

    ASSERT_EQ(pages[2].packets.size(), 1u);
    EXPECT_EQ(pages[2].packets[0], opus);
    EXPECT_EQ(pages[2].granule, 960);
    EXPECT_EQ(pages[2].sequence, 2u);
    EXPECT_EQ(pages[2].flags, 0x00);  // the last page carries no end-of-stream flag

    for (const OggPage& p : pages) {
        EXPECT_EQ(p.serial, pages[0].serial);
        EXPECT_EQ(p.crc, audio_test::recomputed_crc(p));
    }
}

struct GranuleCase {
    const char* name;
    std::vector<Bytes> opus;
    std::vector<int64_t> granules;
};

TEST_F(UserAudioTest, GranulePositionIsRunningSampleCount) {
    const std::vector<Bytes> ms20 = audio_test::encode_tone(3, 20);
    const std::vector<GranuleCase> cases = {
        {"three 20 ms packets", ms20, {960, 1920, 2880}},
        {"10 ms packets", audio_test::encode_tone(2, 10), {480, 960}},
        {"60 ms packets", audio_test::encode_tone(2, 60), {2880, 5760}},
        {"3-frame packet, then a 20 ms packet",
         {audio_test::join_frames(ms20), ms20[0]},
         {2880, 3840}},
    };
    for (const GranuleCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Bytes> records;
        for (size_t i = 0; i < c.opus.size(); ++i)
            records.push_back(audio_test::make_rtp(static_cast<uint16_t>(i), c.opus[i]));
        const std::vector<OggPage> pages = write_file(records, true);
        EXPECT_EQ(audio_granules(pages), c.granules);
        EXPECT_EQ(audio_packets(pages), c.opus);
    }
}

TEST_F(UserAudioTest, PacketsKeepArrivalOrderAndSequenceNumbers) {
    const std::vector<Bytes> opus = audio_test::encode_tone(3, 20);
    const std::vector<uint16_t> seqs = {10, 12, 11};
    std::vector<Bytes> records;
    for (size_t i = 0; i < seqs.size(); ++i)
        records.push_back(audio_test::make_rtp(seqs[i], opus[i]));

    const std::vector<OggPage> pages = write_file(records, true);
    EXPECT_EQ(audio_packets(pages), opus);
    EXPECT_EQ(audio_granules(pages), (std::vector<int64_t>{960, 1920, 2880}));

    // The packet number is not stored in the file; it is the record handed to libogg.
    int64_t granule = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        ogg_packet* op =
            muopus::op_from_rtp(records[i].data(), static_cast<int>(records[i].size()), &granule);
        ASSERT_NE(op, nullptr);
        EXPECT_EQ(op->packetno, seqs[i]);
        EXPECT_EQ(op->granulepos, 960 * static_cast<int64_t>(i + 1));
        EXPECT_EQ(op->b_o_s, 0);
        EXPECT_EQ(op->e_o_s, 0);
        free(op);  // the data is borrowed
    }
}

TEST_F(UserAudioTest, OpusDataIsThePayloadWhateverTheHeaderShape) {
    const Bytes opus = audio_test::encode_tone(1, 20)[0];
    struct ShapeCase {
        const char* name;
        RtpShape shape;
    };
    const std::vector<ShapeCase> cases = {
        {"no CSRC", {0, -1, 0}},
        {"one CSRC", {1, -1, 0}},
        {"three CSRCs", {3, -1, 0}},
        {"extension", {1, 2, 0}},
        {"empty extension", {0, 0, 0}},
        {"padding", {1, -1, 4}},
        {"extension and padding", {0, 1, 3}},
    };
    for (const ShapeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<OggPage> pages =
            write_file({audio_test::make_rtp(1, opus, c.shape)}, false);
        EXPECT_EQ(audio_packets(pages), std::vector<Bytes>{opus});
        EXPECT_EQ(audio_granules(pages), std::vector<int64_t>{960});
    }
}

TEST_F(UserAudioTest, RecordsWithoutUsableOpusDataAreSkipped) {
    const std::vector<Bytes> opus = audio_test::encode_tone(2, 20);
    Bytes bad_version = audio_test::make_rtp(5, opus[0]);
    bad_version[0] = 0x00;
    Bytes bad_padding = audio_test::make_rtp(5, {0xF8, 0xFF, 0xFE}, {1, -1, 2});
    bad_padding.back() = 6;  // more padding than payload
    struct SkipCase {
        const char* name;
        Bytes record;
    };
    const std::vector<SkipCase> cases = {
        {"shorter than a fixed header", Bytes(11, 0x80)},
        {"version 0", bad_version},
        {"padding past the payload", bad_padding},
        {"header only", audio_test::make_rtp(5, {})},
        {"header and padding only", audio_test::make_rtp(5, {}, {1, -1, 3})},
        {"code-3 TOC without frame count", audio_test::make_rtp(5, {0x03})},
        {"code-3 packet of zero frames", audio_test::make_rtp(5, {0x03, 0x00})},
        {"code-3 packet of 48 x 20 ms", audio_test::make_rtp(5, {0x0B, 48, 0, 0})},
        {"code-1 packet of odd data length", audio_test::make_rtp(5, {0xF9, 1, 2, 3})},
        {"code-2 TOC alone", audio_test::make_rtp(5, {0xFA})},
        {"code-3 CBR length not a multiple of 2 frames",
         audio_test::make_rtp(5, {0xFB, 0x02, 1, 2, 3})},
    };
    for (const SkipCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<OggPage> pages = write_file(
            {audio_test::make_rtp(4, opus[0]), c.record, audio_test::make_rtp(6, opus[1])}, true);
        EXPECT_EQ(audio_packets(pages), opus);
        EXPECT_EQ(audio_granules(pages), (std::vector<int64_t>{960, 1920}));

        int64_t granule = 100;
        EXPECT_EQ(muopus::op_from_rtp(c.record.data(), static_cast<int>(c.record.size()), &granule),
                  nullptr);
        EXPECT_EQ(granule, 100);
    }
}

TEST_F(UserAudioTest, OutputDecodesToItsLastGranulePosition) {
    std::vector<Bytes> records;
    const std::vector<Bytes> opus = audio_test::encode_tone(150, 20);
    for (size_t i = 0; i < opus.size(); ++i)
        records.push_back(audio_test::make_rtp(static_cast<uint16_t>(65500 + i), opus[i]));
    std::string name;
    {
        muopus::user_audio ua(99);
        name = ua.name;
        for (const Bytes& r : records) put(ua, r);
        ua.flush_all();
    }
    EXPECT_EQ(name.substr(name.size() - 7), "_99.ogg");
    const std::vector<OggPage> pages = audio_test::read_ogg_pages(dir_.file(name));
    ASSERT_GT(pages.size(), 4u);  // libogg cut the audio into several pages
    EXPECT_EQ(pages.back().granule, 150 * 960);
    for (const OggPage& p : pages) EXPECT_EQ(p.crc, audio_test::recomputed_crc(p));

    const audio_test::DecodeResult r = audio_test::decode_with_opusfile(dir_.file(name));
    EXPECT_EQ(r.open_error, 0);
    EXPECT_EQ(r.read_error, 0);
    EXPECT_EQ(r.pcm_total, 150 * 960);
    EXPECT_EQ(r.decoded, 150 * 960);
}

TEST_F(UserAudioTest, FileThatCannotBeCreatedIsReportedAndItsRecordsSkipped) {
    output_failure_reset();
    const Bytes record = audio_test::make_rtp(1, audio_test::encode_tone(1, 20)[0]);
    audio_test::StreamCapture err(stderr);
    {
        audio_test::ScopedChdir in_proc("/proc");  // nothing can be created here, even as root
        muopus::user_audio ua(5);
        EXPECT_FALSE(ua.file);
        put(ua, record);
        put(ua, record);
        EXPECT_EQ(ua.ogg_write(), -1);
        EXPECT_EQ(ua.ogg_flush(), -1);
        ua.flush_all();
    }
    const std::string text = err.take();
    EXPECT_TRUE(output_failure_seen());
    output_failure_reset();
    EXPECT_NE(text.find("_5.ogg: cannot create"), std::string::npos) << text;
    EXPECT_EQ(text.find("cannot create"), text.rfind("cannot create")) << "reported once: " << text;
}

TEST_F(UserAudioTest, ShortPageWritesAreReportedOncePerFile) {
    output_failure_reset();
    const std::vector<Bytes> opus = audio_test::encode_tone(60, 20);
    audio_test::StreamCapture out(stdout);
    audio_test::StreamCapture err(stderr);
    {
        muopus::user_audio ua(8);
        // A device that refuses every byte, unbuffered so that each fwrite meets the failure.
        ua.file.reset(fopen("/dev/full", "wb"));
        ASSERT_TRUE(ua.file);
        setvbuf(ua.file.get(), nullptr, _IONBF, 0);
        for (size_t i = 0; i < opus.size(); ++i)
            put(ua, audio_test::make_rtp(static_cast<uint16_t>(i), opus[i]));
        EXPECT_EQ(ua.granule, 60 * 960);  // submission went on after the failures
        ua.flush_all();
    }
    const std::string out_text = out.take();
    const std::string err_text = err.take();
    EXPECT_TRUE(output_failure_seen());
    output_failure_reset();
    // Header pages go through ogg_flush (standard output); that failure is the only one met, as
    // nothing more is written to the file after it.
    EXPECT_EQ(out_text, "Error writing Ogg page header\n");
    EXPECT_EQ(err_text.find("Error writing Ogg page"), std::string::npos) << err_text;
    const size_t first = err_text.find("cannot write");
    ASSERT_NE(first, std::string::npos) << err_text;
    EXPECT_EQ(err_text.find("cannot write", first + 1), std::string::npos) << err_text;
}

// Writes that fail for a moment (a transient error): the stream's descriptor is pointed at
// /dev/full for one flush only. Nothing is written to the file after it, and it is reported once.
TEST_F(UserAudioTest, NothingIsWrittenAfterAFailedWrite) {
    output_failure_reset();
    const std::vector<Bytes> opus = audio_test::encode_tone(100, 20);
    const int disk = open("pages", O_RDWR | O_CREAT | O_TRUNC, 0644);
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(disk, 0);
    ASSERT_GE(full, 0);
    off_t before = -1;
    audio_test::StreamCapture out(stdout);
    audio_test::StreamCapture err(stderr);
    {
        muopus::user_audio ua(9);
        put(ua, audio_test::make_rtp(0, opus[0]));  // the header pages go to the real file
        ua.file.reset(fdopen(dup(disk), "wb"));
        ASSERT_TRUE(ua.file);
        setvbuf(ua.file.get(), nullptr, _IONBF, 0);
        const int fd = fileno(ua.file.get());
        for (uint16_t i = 1; i < 100; ++i) {
            put(ua, audio_test::make_rtp(i, opus[i]));
            if (i != 50) continue;
            before = lseek(disk, 0, SEEK_END);
            ASSERT_GE(dup2(full, fd), 0);
            EXPECT_NE(ua.ogg_flush(), 0);
            ASSERT_GE(dup2(disk, fd), 0);
        }
        ua.flush_all();
    }
    out.take();
    const std::string text = err.take();
    EXPECT_GT(before, 0);
    EXPECT_EQ(lseek(disk, 0, SEEK_END), before);
    close(full);
    close(disk);
    EXPECT_TRUE(output_failure_seen());
    output_failure_reset();
    const size_t first = text.find("_9.ogg: cannot write");
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find("cannot", first + 20), std::string::npos) << text;
}

// Through the binary: packets libopus cannot parse, among good ones, leave a file that opusfile
// plays to its last granule position and that ffmpeg reads without a word.
TEST(UserAudioEndToEnd, UnparsablePacketsAreLeftOut) {
    harness::TempDir work;
    harness::TempDir out;
    const std::vector<Bytes> opus = audio_test::encode_tone(30, 20);
    const std::vector<Bytes> bad = {{0xF9, 1, 2, 3}, {0xFA}, {0xFB, 0x02, 1, 2, 3}};
    Bytes capture;
    uint16_t seq = 0;
    for (size_t i = 0; i < opus.size(); ++i) {
        add_record(&capture, 21, audio_test::make_rtp(seq++, opus[i]));
        if (i % 10 == 3) add_record(&capture, 21, audio_test::make_rtp(seq++, bad[i / 10]));
    }
    ASSERT_TRUE(harness::write_file(work.file("cap_1.audio"), capture, nullptr));
    const harness::ConverterRun run = harness::run_converter(work.slash(), {"-a"}, out.path());
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.files.size(), 1u);
    const std::string path = run.files.begin()->second;
    EXPECT_EQ(audio_test::read_ogg_pages(path).back().granule, 30 * 960);
    const harness::OpusCheck check = harness::opusfile_decode(path);
    EXPECT_TRUE(check.ok) << check.error;
    EXPECT_EQ(check.pcm_total, 30 * 960);
    EXPECT_EQ(check.samples, 30 * 960);
    if (access("/usr/bin/ffmpeg", X_OK) != 0) GTEST_SKIP() << "ffmpeg is not installed";
    const harness::ProcessResult ff = harness::run_process(
        {"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"});
    EXPECT_EQ(ff.status, 0);
    EXPECT_EQ(ff.err, "");
}

// Through the binary, twice: the serial numbers are the successive values of the unseeded rand(),
// given out in the order of the users' first records (not the order of their ids).
TEST(UserAudioEndToEnd, SerialNumbersFollowTheFirstRecords) {
    harness::TempDir work;
    const Bytes opus = audio_test::encode_tone(1, 20)[0];
    Bytes capture;
    const uint32_t uids[] = {30, 10, 20, 10, 30};
    for (size_t i = 0; i < 5; ++i)
        add_record(&capture, uids[i], audio_test::make_rtp(static_cast<uint16_t>(i), opus));
    ASSERT_TRUE(harness::write_file(work.file("cap_1.audio"), capture, nullptr));
    srand(1);  // what an unseeded generator starts from
    std::map<uint32_t, uint32_t> want;
    for (uint32_t uid : {30, 10, 20}) want[uid] = static_cast<uint32_t>(rand());
    for (int run = 0; run < 2; ++run) {
        harness::TempDir out;
        const harness::ConverterRun r = harness::run_converter(work.slash(), {"-a"}, out.path());
        ASSERT_EQ(r.status, 0) << r.err;
        std::map<uint32_t, uint32_t> got;
        for (const auto& [key, path] : r.files)
            got[key.first] = audio_test::read_ogg_pages(path).front().serial;
        EXPECT_EQ(got, want) << "run " << run;
    }
}

// A user whose file cannot be created still draws its serial number at its first packet, so the
// users after it keep theirs.
TEST_F(UserAudioTest, SerialNumberIsDrawnWhenTheFileCannotBeCreated) {
    output_failure_reset();
    const Bytes record = audio_test::make_rtp(1, audio_test::encode_tone(1, 20)[0]);
    srand(1);
    const int first = rand();
    rand();
    const int third = rand();
    srand(1);
    muopus::user_audio a(1);
    std::unique_ptr<muopus::user_audio> b;
    {
        audio_test::StreamCapture err(stderr);
        audio_test::ScopedChdir in_proc("/proc");  // nothing can be created here
        b = std::make_unique<muopus::user_audio>(2);
    }
    muopus::user_audio c(3);
    put(a, record);
    put(*b, record);
    put(c, record);
    const std::string name_a = a.name;
    const std::string name_c = c.name;
    a.flush_all();
    c.flush_all();
    EXPECT_EQ(audio_test::read_ogg_pages(dir_.file(name_a)).front().serial,
              static_cast<uint32_t>(first));
    EXPECT_EQ(audio_test::read_ogg_pages(dir_.file(name_c)).front().serial,
              static_cast<uint32_t>(third));
    output_failure_reset();
}

// The writer leaves page cutting to libogg: many small packets share a page.
TEST_F(UserAudioTest, PagesHoldManyPackets) {
    std::vector<Bytes> records;
    const std::vector<Bytes> opus = audio_test::encode_tone(200, 20);
    for (size_t i = 0; i < opus.size(); ++i)
        records.push_back(audio_test::make_rtp(static_cast<uint16_t>(i), opus[i]));
    const std::vector<OggPage> pages = write_file(records, false);
    ASSERT_EQ(audio_packets(pages).size(), 200u);
    EXPECT_LE(pages.size() - 2, 200u / 10) << "audio pages for 200 packets of 20 ms";
}

namespace {
int failing_alloc = 0;  // the header allocation (from 1) that fails; 0: none
int header_allocs = 0;
void* counting_alloc(size_t size) {
    return ++header_allocs == failing_alloc ? nullptr : malloc(size);
}
}  // namespace

// When a header packet or its data cannot be allocated, the file is given up: nothing is written
// to it, it is reported, and the run ends with status 2. The single-file converter gives up too.
TEST_F(UserAudioTest, HeaderThatCannotBeAllocatedGivesUpTheFile) {
    const std::vector<Bytes> opus = audio_test::encode_tone(3, 20);
    // OpusHead's data and record, then OpusTags' data and record.
    for (failing_alloc = 1; failing_alloc <= 4; ++failing_alloc) {
        SCOPED_TRACE("allocation " + std::to_string(failing_alloc) + " fails");
        output_failure_reset();
        muopus::header_alloc = counting_alloc;
        header_allocs = 0;
        std::string name;
        audio_test::StreamCapture out(stdout);
        audio_test::StreamCapture err(stderr);
        {
            muopus::user_audio ua(12);
            name = ua.name;
            for (size_t i = 0; i < opus.size(); ++i)
                put(ua, audio_test::make_rtp(static_cast<uint16_t>(i), opus[i]));
            ua.flush_all();
        }
        header_allocs = 0;
        harness::write_file(dir_.file("in.audio"), {}, nullptr);
        opus_context ctx;
        EXPECT_EQ(initOpus2Ogg(&ctx, "single.ogg", "in.audio"), -1);
        EXPECT_EQ(ctx.out, nullptr);
        EXPECT_EQ(ctx.in, nullptr);
        muopus::header_alloc = malloc;
        out.take();
        const std::string text = err.take();
        EXPECT_TRUE(output_failure_seen());
        EXPECT_NE(text.find("_12.ogg: cannot compose the Ogg Opus headers"), std::string::npos)
            << text;
        EXPECT_TRUE(audio_test::read_bytes(dir_.file(name)).empty());
    }
    failing_alloc = 0;
    output_failure_reset();
}

TEST(UserAudioPackets, CommentHeaderAndRecordHelpers) {
    ogg_packet* tags = muopus::op_opustags();
    ASSERT_NE(tags, nullptr);
    EXPECT_EQ(Bytes(tags->packet, tags->packet + tags->bytes), kOpusTags);
    EXPECT_EQ(tags->b_o_s, 0);
    EXPECT_EQ(tags->packetno, 1);
    EXPECT_EQ(tags->granulepos, 0);
    muopus::op_free(tags);

    const unsigned char data[3] = {1, 2, 3};
    ogg_packet* op = muopus::op_from_pkt(data, 3);
    ASSERT_NE(op, nullptr);
    EXPECT_EQ(op->packet, data);
    EXPECT_EQ(op->bytes, 3);
    op->packet = nullptr;  // op_free then releases only the record
    muopus::op_free(op);
    muopus::op_free(nullptr);
}

TEST(UserAudioPackets, SampleCounts) {
    struct Case {
        Bytes packet;
        int samples;
    };
    const std::vector<Case> cases = {
        {{0x00}, 480},                           // SILK 10 ms, one frame
        {{0x08}, 960},                           // SILK 20 ms
        {{0x18}, 2880},                          // SILK 60 ms
        {{0xF8}, 960},                           // CELT 20 ms
        {{0xE0}, 120},                           // CELT 2.5 ms
        {{0x09, 0x00}, 1920},                    // code 1: two equal frames
        {{0x0B, 0x03, 0, 0, 0}, 2880},           // code 3: three frames
        {{0x0B, 0x06, 0, 0, 0, 0, 0, 0}, 5760},  // 120 ms, the longest a decoder takes
    };
    for (const Case& c : cases)
        EXPECT_EQ(muopus::opus_samples(c.packet.data(), static_cast<int>(c.packet.size())),
                  c.samples)
            << "TOC " << int(c.packet[0]);
    const Bytes too_long = {0x0B, 0x07};
    EXPECT_LT(muopus::opus_samples(too_long.data(), 2), 0);
    EXPECT_LT(muopus::opus_samples(too_long.data(), 0), 0);
}

}  // namespace
