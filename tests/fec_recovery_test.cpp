// FEC recovery on hand-made packets: the two header forms byte for byte, the XOR rebuild of one
// lost packet for both forms (header fields, padding, marker, lengths, each mask width at its
// edge), the checks that drop a bad rebuild, and the reorder stage's hook.
#include "fec_recovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "input_loans.h"
#include "reorder_window.h"

namespace {

constexpr uint32_t kSsrc = 0x11223344;
using Bytes = std::vector<uint8_t>;

// One media packet: every header field the FEC carries can be set.
struct Pkt {
    uint16_t seq;
    size_t payload = 10;
    uint32_t ts = 3000;
    bool marker = false;
    uint8_t pt = 96;
    uint8_t cc = 0;
    int ext_words = -1;  // -1: no extension
    uint8_t pad = 0;     // padding bytes, the count byte included
};

Bytes make(const Pkt& p) {
    Bytes b = {
        static_cast<uint8_t>(0x80 | (p.pad ? 0x20 : 0) | (p.ext_words >= 0 ? 0x10 : 0) | p.cc),
        static_cast<uint8_t>((p.marker ? 0x80 : 0) | p.pt),
        static_cast<uint8_t>(p.seq >> 8),
        static_cast<uint8_t>(p.seq),
        static_cast<uint8_t>(p.ts >> 24),
        static_cast<uint8_t>(p.ts >> 16),
        static_cast<uint8_t>(p.ts >> 8),
        static_cast<uint8_t>(p.ts),
        0x11,
        0x22,
        0x33,
        0x44};
    for (int i = 0; i < p.cc * 4; ++i) b.push_back(static_cast<uint8_t>(0xC0 + i));
    if (p.ext_words >= 0) {
        b.insert(b.end(), {0xBE, 0xDE, 0, static_cast<uint8_t>(p.ext_words)});
        for (int i = 0; i < p.ext_words * 4; ++i) b.push_back(static_cast<uint8_t>(0xE0 + i));
    }
    for (size_t i = 0; i < p.payload; ++i) b.push_back(static_cast<uint8_t>(p.seq * 7 + i * 13));
    for (int i = 1; i < p.pad; ++i) b.push_back(0);
    if (p.pad) b.push_back(p.pad);
    return b;
}

enum Form { kUlpfec, kFlexfec };

// The FEC packet as the store takes it: a RED block body, or a whole FlexFEC RTP packet.
bool encode(Form form, const std::vector<Bytes>& media, Bytes* out) {
    std::vector<FecMedia> refs;
    for (const Bytes& m : media) refs.push_back({m.data(), m.size()});
    if (form == kUlpfec) return ulpfec_encode(refs.data(), refs.size(), out);
    Bytes payload;
    if (!flexfec_encode(refs.data(), refs.size(), &payload)) return false;
    *out = {0x80, 118, 0, 1, 0, 0, 0, 0, 0xFE, 0xC0, 0xFE, 0xC0};
    out->insert(out->end(), payload.begin(), payload.end());
    return true;
}

bool add(FecRecovery& fec, Form form, const Bytes& b) {
    return form == kUlpfec ? fec.add_ulpfec(kSsrc, b.data(), b.size())
                           : fec.add_flexfec(b.data(), b.size());
}

// Held media packets by extended number (here the 16-bit number plus 2^32, as the stage does).
constexpr int64_t kBase = int64_t{1} << 32;
using Held = std::map<int64_t, Bytes>;
const uint8_t* lookup(void* param, int64_t seq, size_t* size) {
    const Held& held = *static_cast<Held*>(param);
    auto it = held.find(seq);
    if (it == held.end()) return nullptr;
    *size = it->second.size();
    return it->second.data();
}

// ---- Header forms, byte for byte ----------------------------------------------------------------

struct GoldenCase {
    const char* name;
    Form form;
    std::vector<uint16_t> seqs;  // two 2-byte / 1-byte packets: see below
    Bytes header;                // everything before the protection bytes
};

void PrintTo(const GoldenCase& c, std::ostream* os) {
    *os << c.name;
}

class FecGolden : public ::testing::TestWithParam<GoldenCase> {};

// The first packet: PT 96, payload AA BB; the second: marker, payload CC. Protection bytes are
// AA^CC, BB; length recovery 2^1; M/PT recovery 0x60^0xE0.
TEST_P(FecGolden, EncodesAndParses) {
    const GoldenCase& c = GetParam();
    Bytes a = make({c.seqs[0], 0});
    a.insert(a.end(), {0xAA, 0xBB});
    Bytes b = make({c.seqs[1], 0, 3000, true});
    b.push_back(0xCC);
    std::vector<FecMedia> refs = {{a.data(), a.size()}, {b.data(), b.size()}};
    Bytes body;
    ASSERT_TRUE(c.form == kUlpfec ? ulpfec_encode(refs.data(), 2, &body)
                                  : flexfec_encode(refs.data(), 2, &body));
    Bytes want = c.header;
    want.insert(want.end(), {0x66, 0xBB});
    EXPECT_EQ(body, want);
    FecHeader h;
    ASSERT_TRUE(c.form == kUlpfec ? ulpfec_parse(body.data(), body.size(), kSsrc, &h)
                                  : flexfec_parse(body.data(), body.size(), &h));
    EXPECT_EQ(h.ssrc, kSsrc);
    EXPECT_EQ(h.seq_base, c.seqs[0]);
    EXPECT_EQ(h.payload_size, 2u);
    for (uint32_t i = 0; i < h.mask_bits; ++i)
        EXPECT_EQ(h.protects(i), i == 0 || i == static_cast<uint16_t>(c.seqs[1] - c.seqs[0])) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FecGolden,
    ::testing::Values(
        GoldenCase{"ulpfec_16_bit_mask",
                   kUlpfec,
                   {10, 11},
                   {0x00, 0x80, 0, 10, 0, 0, 0, 0, 0, 3, 0, 2, 0xC0, 0x00}},
        // Offset 15 is the last bit of the short mask; 16 needs L and the 48-bit mask.
        GoldenCase{"ulpfec_offset_15_short_mask",
                   kUlpfec,
                   {10, 25},
                   {0x00, 0x80, 0, 10, 0, 0, 0, 0, 0, 3, 0, 2, 0x80, 0x01}},
        GoldenCase{"ulpfec_offset_16_long_mask",
                   kUlpfec,
                   {10, 26},
                   {0x40, 0x80, 0, 10, 0, 0, 0, 0, 0, 3, 0, 2, 0x80, 0x00, 0x80, 0, 0, 0}},
        GoldenCase{"ulpfec_offset_47_last_bit",
                   kUlpfec,
                   {10, 57},
                   {0x40, 0x80, 0, 10, 0, 0, 0, 0, 0, 3, 0, 2, 0x80, 0x00, 0, 0, 0, 0x01}},
        GoldenCase{"flexfec_15_bit_mask", kFlexfec, {10, 11}, {0x00, 0x80, 0, 3,  0,    0,    0,
                                                               0,    1,    0, 0,  0,    0x11, 0x22,
                                                               0x33, 0x44, 0, 10, 0xE0, 0x00}},
        GoldenCase{
            "flexfec_offset_14_last_of_15",
            kFlexfec,
            {10, 24},
            {0x00, 0x80, 0, 3, 0, 0, 0, 0, 1, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0, 10, 0xC0, 0x01}},
        // Offset 15 is the first bit after the second k bit.
        GoldenCase{"flexfec_offset_15_46_bit_mask",
                   kFlexfec,
                   {10, 25},
                   {0x00, 0x80, 0,    3,    0, 0,  0,    0,    1,    0, 0, 0,
                    0x11, 0x22, 0x33, 0x44, 0, 10, 0x40, 0x00, 0xC0, 0, 0, 0}},
        GoldenCase{"flexfec_offset_45_last_of_46",
                   kFlexfec,
                   {10, 55},
                   {0x00, 0x80, 0,    3,    0, 0,  0,    0,    1,    0, 0, 0,
                    0x11, 0x22, 0x33, 0x44, 0, 10, 0x40, 0x00, 0x80, 0, 0, 0x01}},
        GoldenCase{"flexfec_offset_46_109_bit_mask",
                   kFlexfec,
                   {10, 56},
                   {0x00, 0x80, 0,    3,    0, 0, 0, 0, 1,    0, 0, 0, 0x11, 0x22, 0x33, 0x44,
                    0,    10,   0x40, 0x00, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0,    0,    0,    0}},
        GoldenCase{"flexfec_offset_108_last_bit",
                   kFlexfec,
                   {10, 118},
                   {0x00, 0x80, 0,    3,    0, 0, 0, 0, 1,    0, 0, 0, 0x11, 0x22, 0x33, 0x44,
                    0,    10,   0x40, 0x00, 0, 0, 0, 0, 0x80, 0, 0, 0, 0,    0,    0,    0x01}}));

// ---- Parsers refuse what they cannot use --------------------------------------------------------

struct ParseCase {
    const char* name;
    Form form;
    Bytes body;
    bool ok;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.name;
}

class FecParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(FecParse, AcceptsOnlyWhatItCanUse) {
    const ParseCase& c = GetParam();
    FecHeader h;
    const bool ok = c.form == kUlpfec ? ulpfec_parse(c.body.data(), c.body.size(), kSsrc, &h)
                                      : flexfec_parse(c.body.data(), c.body.size(), &h);
    EXPECT_EQ(ok, c.ok);
    if (ok) {
        EXPECT_LE(h.payload_size, c.body.size());
    }
}

const Bytes kUlp = {0, 0x80, 0, 10, 0, 0, 0, 0, 0, 3, 0, 2, 0xC0, 0, 0x66, 0xBB};
Bytes with(Bytes b, size_t at, uint8_t v) {
    b[at] = v;
    return b;
}
Bytes cut(Bytes b, size_t n) {
    b.resize(n);
    return b;
}
const Bytes kFlex15 = {0, 0x80, 0,    3,    0,    0,    0, 0,  1,    0,
                       0, 0,    0x11, 0x22, 0x33, 0x44, 0, 10, 0xE0, 0};
const Bytes kFlex46 = {0,    0,    0,    3,    0, 0,  0,    0, 1,    0, 0, 0,
                       0x11, 0x22, 0x33, 0x44, 0, 10, 0x40, 0, 0x80, 0, 0, 0};
const Bytes kFlex109 = {0, 0,  0,    3, 0, 0, 0, 0, 1,    0, 0, 0, 0x11, 0x22, 0x33, 0x44,
                        0, 10, 0x40, 0, 0, 0, 0, 0, 0x80, 0, 0, 0, 0,    0,    0,    0};

INSTANTIATE_TEST_SUITE_P(
    Table, FecParse,
    ::testing::Values(ParseCase{"ulpfec_whole", kUlpfec, kUlp, true},
                      ParseCase{"ulpfec_protection_is_the_rest", kUlpfec, with(kUlp, 11, 2), true},
                      ParseCase{"ulpfec_protection_one_beyond", kUlpfec, with(kUlp, 11, 3), false},
                      ParseCase{"ulpfec_e_bit", kUlpfec, with(kUlp, 0, 0x80), false},
                      ParseCase{"ulpfec_no_mask_bit", kUlpfec, with(kUlp, 12, 0), false},
                      ParseCase{"ulpfec_header_only", kUlpfec, with(cut(kUlp, 14), 11, 0), true},
                      ParseCase{"ulpfec_13_bytes", kUlpfec, cut(kUlp, 13), false},
                      // L=1 needs 18 bytes of header.
                      ParseCase{"ulpfec_long_mask_17_bytes", kUlpfec,
                                with(with(cut(kUlp, 17), 0, 0x40), 11, 0), false},
                      ParseCase{"flexfec_15", kFlexfec, kFlex15, true},
                      ParseCase{"flexfec_19_bytes", kFlexfec, cut(kFlex15, 19), false},
                      ParseCase{"flexfec_r_bit", kFlexfec, with(kFlex15, 0, 0x80), false},
                      ParseCase{"flexfec_f_bit", kFlexfec, with(kFlex15, 0, 0x40), false},
                      ParseCase{"flexfec_two_ssrcs", kFlexfec, with(kFlex15, 8, 2), false},
                      ParseCase{"flexfec_46", kFlexfec, kFlex46, true},
                      ParseCase{"flexfec_46_cut_at_23", kFlexfec, cut(kFlex46, 23), false},
                      ParseCase{"flexfec_109", kFlexfec, kFlex109, true},
                      ParseCase{"flexfec_109_cut_at_31", kFlexfec, cut(kFlex109, 31), false},
                      ParseCase{"flexfec_no_third_k", kFlexfec, with(kFlex109, 24, 0), false}));

// ---- One lost packet rebuilt by XOR -------------------------------------------------------------

struct RebuildCase {
    const char* name;
    std::vector<Pkt> media;
    size_t lost;       // index into media
    bool ulpfec_fits;  // the numbers fit ULPFEC's 48-bit mask
    bool flexfec_fits;
};

void PrintTo(const RebuildCase& c, std::ostream* os) {
    *os << c.name;
}

class FecRebuild : public ::testing::TestWithParam<std::tuple<RebuildCase, Form>> {};

TEST_P(FecRebuild, GivesTheLostPacketBack) {
    const RebuildCase& c = std::get<0>(GetParam());
    const Form form = std::get<1>(GetParam());
    std::vector<Bytes> media;
    for (const Pkt& p : c.media) media.push_back(make(p));
    Bytes fec_packet;
    const bool fits = encode(form, media, &fec_packet);
    ASSERT_EQ(fits, form == kUlpfec ? c.ulpfec_fits : c.flexfec_fits);
    if (!fits) return;

    RepairStats stats;
    FecRecovery fec(4, &stats);
    ASSERT_TRUE(add(fec, form, fec_packet));
    // Extended numbers, as the stage counts them across a wrap.
    auto ext = [&](const Pkt& m) {
        return kBase + c.media[0].seq + static_cast<int16_t>(m.seq - c.media[0].seq);
    };
    Held held;
    for (size_t i = 0; i < media.size(); ++i)
        if (i != c.lost) held[ext(c.media[i])] = media[i];
    size_t n = 0;
    const uint8_t* p = fec.recover(ext(c.media[c.lost]), kSsrc, lookup, &held, &n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Bytes(p, p + n), media[c.lost]);
    EXPECT_EQ(stats.fec_recovered, 1u);
    EXPECT_EQ(stats.fec_unrecoverable, 0u);
    // The FEC packet is spent; the number is not rebuilt twice from it.
    EXPECT_EQ(fec.recover(ext(c.media[c.lost]), kSsrc, lookup, &held, &n), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FecRebuild,
    ::testing::Combine(
        ::testing::Values(
            RebuildCase{"header_fields",
                        {{10, 10, 3000}, {11, 7, 3001, false, 100, 2, 1}, {12, 9, 3000}},
                        1,
                        true,
                        true},
            RebuildCase{
                "padding", {{10}, {11, 10, 3000, false, 96, 0, -1, 4}, {12}}, 1, true, true},
            RebuildCase{"padding_count_byte_only",
                        {{10}, {11, 10, 3000, false, 96, 0, -1, 1}, {12}},
                        1,
                        true,
                        true},
            RebuildCase{"marker", {{10}, {11}, {12, 10, 3000, true}}, 2, true, true},
            RebuildCase{"marker_on_the_others",
                        {{10, 10, 3000, true}, {11}, {12, 10, 3000, true}},
                        1,
                        true,
                        true},
            // Longer than every other protected packet, by one byte and by many.
            RebuildCase{"longer_by_one", {{10, 39}, {11, 40}, {12, 39}}, 1, true, true},
            RebuildCase{"longer_by_many", {{10, 3}, {11, 1200}, {12, 5}}, 1, true, true},
            RebuildCase{"shorter_than_the_others", {{10, 30}, {11, 1}, {12, 30}}, 1, true, true},
            RebuildCase{"header_only", {{10, 30}, {11, 0}, {12, 30}}, 1, true, true},
            RebuildCase{"only_one_protected", {{10, 30}}, 0, true, true},
            RebuildCase{"ulpfec_offset_15", {{100}, {101}, {115}}, 2, true, true},
            RebuildCase{"ulpfec_offset_16", {{100}, {101}, {116}}, 2, true, true},
            RebuildCase{"ulpfec_48_bit_mask_first", {{100}, {120}, {147}}, 0, true, true},
            RebuildCase{"ulpfec_48_bit_mask_last", {{100}, {120}, {147}}, 2, true, true},
            RebuildCase{"beyond_48_bits", {{100}, {148}}, 1, false, true},
            RebuildCase{"flexfec_offset_14", {{100}, {114}}, 1, true, true},
            RebuildCase{"flexfec_offset_46", {{100}, {146}}, 1, true, true},
            RebuildCase{"flexfec_109_bit_mask_last", {{100}, {150}, {208}}, 2, false, true},
            RebuildCase{"beyond_109_bits", {{100}, {209}}, 1, false, false},
            RebuildCase{"sequence_wrap", {{65534}, {65535}, {0}, {1}}, 2, true, true}),
        ::testing::Values(kUlpfec, kFlexfec)));

// ---- What is not rebuilt, and what the checks drop ----------------------------------------------

struct CheckCase {
    const char* name;
    size_t fec_byte;  // a byte of the ULPFEC body to XOR with `flip` (none when flip is 0)
    uint8_t flip;
    std::vector<int> absent;  // media indexes not at hand besides the lost one (index 1)
    uint16_t ask;             // number asked for
    uint64_t recovered, unrecoverable;
    uint64_t aged = 0;  // media packets released after the FEC packet, before the ask
};

void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.name;
}

class FecChecks : public ::testing::TestWithParam<CheckCase> {};

// Media 10 (20 bytes of payload), 11 (10), 12 (30): protection length 30; 11 is lost.
TEST_P(FecChecks, DropsWhatCannotBeThePacket) {
    const CheckCase& c = GetParam();
    std::vector<Bytes> media = {make({10, 20}), make({11, 10}), make({12, 30})};
    Bytes body;
    ASSERT_TRUE(encode(kUlpfec, media, &body));
    body[c.fec_byte] ^= c.flip;
    RepairStats stats;
    FecRecovery fec(4, &stats);
    ASSERT_TRUE(add(fec, kUlpfec, body));
    for (uint64_t i = 0; i < c.aged; ++i)  // numbers below those it protects
        fec.keep(kBase + 10 - static_cast<int64_t>(c.aged - i), media[0].data(), media[0].size());
    Held held = {{kBase + 10, media[0]}, {kBase + 12, media[2]}};
    for (int i : c.absent) held.erase(kBase + 10 + i);
    size_t n = 0;
    const uint8_t* p = fec.recover(kBase + c.ask, kSsrc, lookup, &held, &n);
    EXPECT_EQ(p != nullptr, c.recovered == 1);
    if (p) {
        EXPECT_EQ(Bytes(p, p + n), media[1]);
    }
    EXPECT_EQ(stats.fec_recovered, c.recovered);
    EXPECT_EQ(stats.fec_unrecoverable, c.unrecoverable);
}

constexpr size_t kLength = 9;  // low byte of the length recovery
constexpr size_t kCc = 0;      // CC recovery
constexpr size_t kProtection = 14;

INSTANTIATE_TEST_SUITE_P(
    Table, FecChecks,
    ::testing::Values(CheckCase{"untouched", 0, 0, {}, 11, 1, 0},
                      CheckCase{"another_missing", 0, 0, {2}, 11, 0, 0},
                      CheckCase{"not_protected", 0, 0, {}, 13, 0, 0},
                      CheckCase{"below_the_base", 0, 0, {}, 9, 0, 0},
                      // The length recovered is 10 ^ flip: one short leaves the packet's last
                      // byte past the end, where only zeros may be.
                      CheckCase{"length_one_short", kLength, 10 ^ 9, {}, 11, 0, 1},
                      // One beyond the protection bytes cannot be rebuilt.
                      CheckCase{"length_beyond_protection", kLength, 10 ^ 31, {}, 11, 0, 1},
                      // The first and the last byte past the rebuilt length, not zero.
                      CheckCase{"first_byte_past_the_end", kProtection + 10, 1, {}, 11, 0, 1},
                      CheckCase{"last_protection_byte", kProtection + 29, 1, {}, 11, 0, 1},
                      // 15 CSRCs do not fit 10 bytes.
                      CheckCase{"csrc_count_beyond_length", kCc, 0x0F, {}, 11, 0, 1},
                      // An FEC packet is used until kMaxFecAge packets have gone out after it.
                      CheckCase{"age_at_the_limit", 0, 0, {}, 11, 1, 0, FecRecovery::kMaxFecAge},
                      CheckCase{
                          "age_past_the_limit", 0, 0, {}, 11, 0, 0, FecRecovery::kMaxFecAge + 1}));

// A missing number's FEC packet also needs another lost packet, which a second FEC packet gives:
// both come back, the second when it is asked for.
TEST(FecRecovery, ChainsThroughASecondFecPacket) {
    std::vector<Bytes> media = {make({10}), make({11, 4}), make({12, 20}), make({13, 7})};
    Bytes a, b;
    ASSERT_TRUE(encode(kFlexfec, {media[0], media[1], media[2]}, &a));
    ASSERT_TRUE(encode(kFlexfec, {media[2], media[3]}, &b));
    RepairStats stats;
    FecRecovery fec(4, &stats);
    ASSERT_TRUE(add(fec, kFlexfec, a));
    ASSERT_TRUE(add(fec, kFlexfec, b));
    Held held = {{kBase + 10, media[0]}, {kBase + 13, media[3]}};
    size_t n = 0;
    const uint8_t* p = fec.recover(kBase + 11, kSsrc, lookup, &held, &n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Bytes(p, p + n), media[1]);
    p = fec.recover(kBase + 12, kSsrc, lookup, &held, &n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Bytes(p, p + n), media[2]);
    EXPECT_EQ(stats.fec_recovered, 2u);
}

// The store keeps at most `max_fec` FEC packets. One whose numbers have all been passed goes
// first; when all can still be used, the oldest goes.
TEST(FecRecovery, KeepsAtMostMaxFecPackets) {
    std::vector<Bytes> media;
    for (uint16_t s = 0; s < 8; ++s) media.push_back(make({s}));
    const auto fec_over = [&](uint16_t first) {
        Bytes b;
        EXPECT_TRUE(encode(kUlpfec, {media[first], media[first + 1]}, &b));
        return b;
    };
    FecRecovery fec(2, nullptr);
    ASSERT_TRUE(add(fec, kUlpfec, fec_over(0)));
    ASSERT_TRUE(add(fec, kUlpfec, fec_over(2)));
    // 0 and 1 pass: the FEC packet over them can rebuild nothing and makes room, not the older
    // one still in use.
    fec.keep(kBase + 0, media[0].data(), media[0].size());
    fec.keep(kBase + 1, media[1].data(), media[1].size());
    ASSERT_TRUE(add(fec, kUlpfec, fec_over(4)));
    EXPECT_EQ(fec.fec_held(), 2u);
    ASSERT_TRUE(add(fec, kUlpfec, fec_over(6)));  // both in use: the one over 2-3 goes
    EXPECT_EQ(fec.fec_held(), 2u);
    Held held;
    for (uint16_t s = 2; s < 8; ++s) held[kBase + s] = media[s];
    size_t n = 0;
    held.erase(kBase + 3);
    EXPECT_EQ(fec.recover(kBase + 3, kSsrc, lookup, &held, &n), nullptr);  // its FEC is gone
    held.erase(kBase + 4);
    EXPECT_NE(fec.recover(kBase + 4, kSsrc, lookup, &held, &n), nullptr);
    held.erase(kBase + 7);
    EXPECT_NE(fec.recover(kBase + 7, kSsrc, lookup, &held, &n), nullptr);
}

// Looking at FEC packets is paid from a budget that released packets refill: drained to the last
// unit, a rebuild waits for the next released packet.
TEST(FecRecovery, WorkIsPaidFromABudget) {
    std::vector<Bytes> media = {make({10}), make({11}), make({12})};
    Bytes body;
    ASSERT_TRUE(encode(kUlpfec, media, &body));
    RepairStats stats;
    FecRecovery fec(1, &stats);
    ASSERT_TRUE(add(fec, kUlpfec, body));
    Held held = {{kBase + 10, media[0]}, {kBase + 12, media[2]}};
    size_t n = 0;
    // Each ask for a number it does not protect costs one look at the one FEC packet.
    for (uint64_t i = 0; i < FecRecovery::kWorkCap; ++i)
        ASSERT_EQ(fec.recover(kBase + 100, kSsrc, lookup, &held, &n), nullptr);
    EXPECT_EQ(fec.recover(kBase + 11, kSsrc, lookup, &held, &n), nullptr);
    fec.keep(kBase + 1, media[0].data(), media[0].size());
    const uint8_t* p = fec.recover(kBase + 11, kSsrc, lookup, &held, &n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Bytes(p, p + n), media[1]);
    EXPECT_EQ(stats.fec_recovered, 1u);
}

// ---- The reorder stage's hook -------------------------------------------------------------------

// Packets 10..`last` in a window of 4 with one `lost`, and ULPFEC over `fec_first`..`fec_last`
// given to the store after packet `fec_after` (before the first with 9). `late` brings the lost
// packet after 15 (before it is given up) when set.
struct HookCase {
    const char* name;
    uint16_t last;
    uint16_t lost;
    uint16_t fec_first, fec_last;
    uint16_t fec_after;
    bool rebuilt;
};

std::vector<Bytes> run_hooked(const HookCase& c, bool late, RepairStats* stats) {
    std::vector<Bytes> media;
    for (uint16_t s = 10; s <= c.last; ++s) media.push_back(make({s, size_t{s}}));
    Bytes body;
    EXPECT_TRUE(encode(kUlpfec,
                       std::vector<Bytes>(media.begin() + (c.fec_first - 10),
                                          media.begin() + (c.fec_last - 10) + 1),
                       &body));
    FecRecovery fec(4, stats);
    ReorderWindow w(4, stats);
    w.set_recovery(fec.hook());
    std::vector<Bytes> out;
    auto drain = [&] {
        const uint8_t* p = nullptr;
        size_t n = 0;
        while (w.pop(&p, &n)) out.emplace_back(p, p + n);
    };
    if (c.fec_after < 10) {
        EXPECT_TRUE(add(fec, kUlpfec, body));
    }
    Bytes real_late = media[c.lost - 10];
    real_late.back() ^= 0xFF;  // told apart from the rebuilt one
    for (uint16_t s = 10; s <= c.last; ++s) {
        if (s != c.lost) w.push(media[s - 10].data(), media[s - 10].size());
        drain();
        if (s == c.fec_after) {
            EXPECT_TRUE(add(fec, kUlpfec, body));
        }
        if (late && s == 15) w.push(real_late.data(), real_late.size());
        drain();
    }
    w.flush();
    drain();
    return out;
}

void PrintTo(const HookCase& c, std::ostream* os) {
    *os << c.name;
}

class FecRecoveryHook : public ::testing::TestWithParam<HookCase> {};

TEST_P(FecRecoveryHook, RebuildsWhatTheStageGivesUp) {
    const HookCase& c = GetParam();
    RepairStats stats;
    const std::vector<Bytes> out = run_hooked(c, false, &stats);
    const size_t all = c.last - 10u + 1;
    ASSERT_EQ(out.size(), c.rebuilt ? all : all - 1);
    size_t i = 0;
    for (uint16_t s = 10; s <= c.last; ++s)
        if (c.rebuilt || s != c.lost) {
            EXPECT_EQ(out[i++], make({s, size_t{s}})) << s;
        }
    EXPECT_EQ(stats.fec_recovered, c.rebuilt ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FecRecoveryHook,
    ::testing::Values(HookCase{"second", 17, 11, 10, 13, 9, true},
                      HookCase{"third", 17, 12, 10, 13, 9, true},
                      HookCase{"last_protected", 17, 13, 10, 13, 9, true},
                      HookCase{"not_protected", 17, 14, 10, 13, 9, false},
                      // Before the first arrival and after the last: FEC reaches there too.
                      HookCase{"first_of_the_run", 17, 10, 10, 13, 9, true},
                      HookCase{"last_of_the_run", 17, 17, 14, 17, 16, true},
                      // 20 went out on the in-order path, with nothing held: the store still
                      // has it when the FEC comes after 22.
                      HookCase{"after_a_stretch_released_in_order", 29, 21, 20, 22, 22, true}),
    [](const ::testing::TestParamInfo<HookCase>& info) { return std::string(info.param.name); });

TEST(FecRecoveryLate, LatePacketWinsOverRecovery) {
    RepairStats stats;
    const std::vector<Bytes> out = run_hooked({"late", 17, 12, 10, 13, 9, true}, true, &stats);
    ASSERT_EQ(out.size(), 8u);
    EXPECT_NE(out[2], make({12, 12}));  // the real one, marked
    EXPECT_EQ(out[2].size(), make({12, 12}).size());
    EXPECT_EQ(stats.fec_recovered, 0u);
}

// ---- Packets borrowed from the read-ahead -------------------------------------------------------

// Media 10-13 with FEC over them: 10 has been released, 12 and 13 are held, 11 is missing. 10 and
// the FEC packet lie in buffer A, which the read-ahead lent (or not); then it lent `switches` more
// buffers, recalling the one before each (two: A recalled, then overwritten).
struct LoanCase {
    const char* name;
    bool lent;
    int switches;
    bool copied;               // the store holds copies before the rebuild
    bool recall_first = true;  // the read-ahead recalls before each lend (else lend() must)
};

void PrintTo(const LoanCase& c, std::ostream* os) {
    *os << c.name;
}

class FecLoans : public ::testing::TestWithParam<std::tuple<LoanCase, Form>> {};

TEST_P(FecLoans, RebuildsFromWhatTheReadAheadLentOrRecalled) {
    const LoanCase& c = std::get<0>(GetParam());
    const Form form = std::get<1>(GetParam());
    std::vector<Bytes> media = {make({10, 30}), make({11, 20}), make({12, 40}), make({13, 5})};
    Bytes fec_packet;
    ASSERT_TRUE(encode(form, media, &fec_packet));
    std::vector<Bytes> buffers(3, Bytes(4096, 0));
    Bytes& a = buffers[0];
    std::copy(media[0].begin(), media[0].end(), a.begin() + 100);
    std::copy(fec_packet.begin(), fec_packet.end(), a.begin() + 1000);

    InputLoans loans;
    if (c.lent) loans.lend(a.data(), a.size());
    RepairStats stats;
    FecRecovery fec(4, &stats, &loans);
    fec.keep(kBase + 10, a.data() + 100, media[0].size());
    ASSERT_TRUE(form == kUlpfec ? fec.add_ulpfec(kSsrc, a.data() + 1000, fec_packet.size())
                                : fec.add_flexfec(a.data() + 1000, fec_packet.size()));
    for (int i = 1; i <= c.switches; ++i) {
        if (c.recall_first) loans.recall_previous();
        loans.lend(buffers[i].data(), buffers[i].size());
    }
    if (!c.lent || c.switches >= 2) std::fill(a.begin(), a.end(), 0xEE);
    EXPECT_EQ(fec.bytes_reserved() > 0, c.copied);

    Held held = {{kBase + 12, media[2]}, {kBase + 13, media[3]}};
    size_t n = 0;
    const uint8_t* p = fec.recover(kBase + 11, kSsrc, lookup, &held, &n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Bytes(p, p + n), media[1]);
    EXPECT_EQ(stats.fec_recovered, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FecLoans,
    ::testing::Combine(
        ::testing::Values(LoanCase{"not_lent", false, 0, true}, LoanCase{"lent", true, 0, false},
                          LoanCase{"lent_then_previous", true, 1, false},
                          LoanCase{"lent_then_recalled", true, 2, true},
                          LoanCase{"lent_then_recalled_by_lend", true, 2, true, false}),
        ::testing::Values(kUlpfec, kFlexfec)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) == kUlpfec ? "_ulpfec" : "_flexfec");
    });

// A borrower is told once per buffer it borrowed from, with that buffer's bytes, and never after
// it forgot or the lender closed; bytes beyond the current buffer are never lent.
TEST(InputLoans, RecallsEachBorrowerOncePerBuffer) {
    std::vector<std::pair<void*, size_t>> told;
    auto recall = [](void* param, const uint8_t* begin, const uint8_t* end) {
        auto* t = static_cast<std::vector<std::pair<void*, size_t>>*>(param);
        t->emplace_back(const_cast<uint8_t*>(begin), static_cast<size_t>(end - begin));
    };
    Bytes a(64), b(32), outside(8);
    InputLoans loans;
    EXPECT_FALSE(loans.active());
    InputLoans::Borrower x{recall, &told}, y{recall, &told};
    loans.lend(a.data(), a.size());
    EXPECT_TRUE(loans.borrow(a.data(), 64, &x));
    EXPECT_TRUE(loans.borrow(a.data() + 63, 1, &x));
    EXPECT_FALSE(loans.borrow(a.data() + 63, 2, &x));  // runs past the end
    EXPECT_FALSE(loans.borrow(outside.data(), 1, &y));
    EXPECT_TRUE(loans.active());
    loans.lend(b.data(), b.size());
    EXPECT_FALSE(loans.borrow(a.data(), 1, &y));  // the previous buffer lends no more
    EXPECT_TRUE(loans.borrow(b.data(), 1, &y));
    EXPECT_TRUE(loans.borrow(b.data(), 1, &x));
    loans.recall_previous();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0], std::make_pair(static_cast<void*>(a.data()), a.size()));
    loans.forget(&y);
    loans.lend(a.data(), a.size());
    loans.recall_previous();
    ASSERT_EQ(told.size(), 2u);  // x alone
    EXPECT_EQ(told[1], std::make_pair(static_cast<void*>(b.data()), b.size()));
    EXPECT_TRUE(loans.borrow(a.data(), 1, &x));
    loans.close();
    EXPECT_FALSE(loans.active());
    loans.recall_previous();
    EXPECT_EQ(told.size(), 2u);
    EXPECT_FALSE(loans.borrow(a.data(), 1, &x));
}

// An FEC packet whose packets have all been released can rebuild nothing: it is not kept.
TEST(FecRecovery, FecOfPacketsAllReleasedIsNotKept) {
    std::vector<Bytes> media;
    for (uint16_t s = 10; s < 15; ++s) media.push_back(make({s}));
    Bytes over_10_13, over_12_14;
    ASSERT_TRUE(encode(kFlexfec, {media[0], media[1], media[2], media[3]}, &over_10_13));
    ASSERT_TRUE(encode(kFlexfec, {media[2], media[3], media[4]}, &over_12_14));
    FecRecovery fec(4, nullptr);
    for (uint16_t s = 10; s <= 13; ++s)
        fec.keep(kBase + s, media[s - 10].data(), media[s - 10].size());
    EXPECT_FALSE(add(fec, kFlexfec, over_10_13));
    EXPECT_TRUE(add(fec, kFlexfec, over_12_14));
    EXPECT_EQ(fec.fec_held(), 1u);
}

// ---- Header extensions the sender rewrites after making its FEC
// ----------------------------------

// An element of a header extension: its bytes as sent, and as they were when the FEC was made.
struct Elem {
    uint8_t id;
    Bytes sent;
    Bytes at_fec;
};

const Elem kSendTime{2, {0x12, 0x34, 0x56}, {0, 0, 0}};  // abs-send-time: rewritten whole
const Elem kMid{4, {'a', 'b', 'c'}, {'a', 'b', 'c'}};    // mid: kept
const Elem kPlayout{5, {1, 2, 3}, {1, 2, 3}};            // playout-delay: kept
// An element of id 0 with a length ends the extension: the transport-cc bytes after it are no
// element and were not rewritten.
const Elem kIdZero{0, {0xAA, 0xBB}, {0xAA, 0xBB}};
const Elem kTransportCcAfterIdZero{3, {0x01, 0x02}, {0x01, 0x02}};
// video-timing: the first seven bytes kept, pacer exit onwards rewritten.
const Elem kTiming{
    7, {1, 2, 3, 4, 5, 6, 7, 9, 9, 9, 9, 9, 9}, {1, 2, 3, 4, 5, 6, 7, 0, 0, 0, 0, 0, 0}};

// Media packet `seq` with the elements (one-byte form, or two-byte with `two_byte`), as sent or as
// the FEC saw it.
Bytes with_extension(uint16_t seq, size_t payload, const std::vector<Elem>& elems, bool two_byte,
                     bool at_fec) {
    Bytes p = make({seq, 0});
    p[0] |= 0x10;
    Bytes block;
    for (const Elem& e : elems) {
        const Bytes& d = at_fec ? e.at_fec : e.sent;
        if (two_byte) {
            block.insert(block.end(), {e.id, static_cast<uint8_t>(d.size())});
        } else {
            block.push_back(static_cast<uint8_t>(e.id << 4 | (d.size() - 1)));
        }
        block.insert(block.end(), d.begin(), d.end());
    }
    while (block.size() % 4) block.push_back(0);
    p.insert(p.end(), {static_cast<uint8_t>(two_byte ? 0x10 : 0xBE),
                       static_cast<uint8_t>(two_byte ? 0x00 : 0xDE), 0,
                       static_cast<uint8_t>(block.size() / 4)});
    p.insert(p.end(), block.begin(), block.end());
    for (size_t i = 0; i < payload; ++i) p.push_back(static_cast<uint8_t>(seq * 5 + i * 11));
    return p;
}

struct ExtCase {
    const char* name;
    std::vector<Elem> first, lost, third;  // packets 10, 11 (lost), 12
    bool two_byte;
    bool known;  // the extension map (from the SDP) is known
    bool rebuilt;
};

void PrintTo(const ExtCase& c, std::ostream* os) {
    *os << c.name;
}

class FecExtensions : public ::testing::TestWithParam<std::tuple<ExtCase, Form>> {};

// Rebuilt, packet 11 is as the FEC saw it: its own rewritten bytes zero, everything else exact.
// Without the map, a rebuild is refused where another packet's extension reaches into its payload.
TEST_P(FecExtensions, RewrittenBytesCountAsZero) {
    const ExtCase& c = std::get<0>(GetParam());
    const Form form = std::get<1>(GetParam());
    const std::vector<Elem>* elems[3] = {&c.first, &c.lost, &c.third};
    const size_t payload[3] = {25, 30, 9};
    std::vector<Bytes> at_fec, sent;
    for (int i = 0; i < 3; ++i) {
        const uint16_t seq = static_cast<uint16_t>(10 + i);
        at_fec.push_back(with_extension(seq, payload[i], *elems[i], c.two_byte, true));
        sent.push_back(with_extension(seq, payload[i], *elems[i], c.two_byte, false));
    }
    Bytes fec_packet;
    ASSERT_TRUE(encode(form, at_fec, &fec_packet));
    streams::SdpExt map[256] = {};
    map[kSendTime.id] = streams::SdpExt::rewritten;
    map[kTiming.id] = streams::SdpExt::rewritten_from_7;
    map[kTransportCcAfterIdZero.id] = streams::SdpExt::rewritten;
    RepairStats stats;
    FecRecovery fec(4, &stats);
    if (c.known) fec.set_extensions(map);
    ASSERT_TRUE(add(fec, form, fec_packet));
    Held held = {{kBase + 10, sent[0]}, {kBase + 12, sent[2]}};
    size_t n = 0;
    const uint8_t* p = fec.recover(kBase + 11, kSsrc, lookup, &held, &n);
    ASSERT_EQ(p != nullptr, c.rebuilt);
    EXPECT_EQ(stats.fec_unrecoverable, c.rebuilt ? 0u : 1u);
    if (!p) return;
    const Bytes got(p, p + n);
    if (c.known) {
        EXPECT_EQ(got, at_fec[1]);
    } else {
        // Only the values inside its own header extension may differ.
        ASSERT_EQ(got.size(), at_fec[1].size());
        const size_t header = at_fec[1].size() - payload[1];
        EXPECT_EQ(Bytes(got.begin(), got.begin() + 16),
                  Bytes(at_fec[1].begin(), at_fec[1].begin() + 16));
        EXPECT_EQ(Bytes(got.begin() + header, got.end()),
                  Bytes(at_fec[1].begin() + header, at_fec[1].end()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FecExtensions,
    ::testing::Combine(::testing::Values(ExtCase{"same_layout_known",
                                                 {kSendTime, kMid},
                                                 {kSendTime, kMid},
                                                 {kSendTime, kMid},
                                                 false,
                                                 true,
                                                 true},
                                         ExtCase{"same_layout_unknown",
                                                 {kSendTime, kMid},
                                                 {kSendTime, kMid},
                                                 {kSendTime, kMid},
                                                 false,
                                                 false,
                                                 true},
                                         ExtCase{"longer_header_rewritten_known",
                                                 {kSendTime, kMid, kTiming},
                                                 {kSendTime, kMid},
                                                 {kSendTime},
                                                 false,
                                                 true,
                                                 true},
                                         ExtCase{"longer_header_unknown_refused",
                                                 {kSendTime, kMid, kTiming},
                                                 {kSendTime, kMid},
                                                 {kSendTime},
                                                 false,
                                                 false,
                                                 false},
                                         ExtCase{"longer_header_kept_known",
                                                 {kSendTime, kMid, kPlayout},
                                                 {kSendTime},
                                                 {kSendTime, kPlayout},
                                                 false,
                                                 true,
                                                 true},
                                         ExtCase{"lost_has_the_longest_header_unknown",
                                                 {kSendTime},
                                                 {kSendTime, kMid, kTiming},
                                                 {kSendTime, kMid},
                                                 false,
                                                 false,
                                                 true},
                                         ExtCase{"id_zero_with_a_length_ends_it_known",
                                                 {kIdZero, kTransportCcAfterIdZero},
                                                 {kMid},
                                                 {kMid},
                                                 false,
                                                 true,
                                                 true},
                                         ExtCase{"two_byte_form_known",
                                                 {kSendTime, kTiming},
                                                 {kSendTime},
                                                 {kSendTime, kMid},
                                                 true,
                                                 true,
                                                 true},
                                         ExtCase{"two_byte_form_unknown_refused",
                                                 {kSendTime, kTiming},
                                                 {kSendTime},
                                                 {kSendTime, kMid},
                                                 true,
                                                 false,
                                                 false}),
                       ::testing::Values(kUlpfec, kFlexfec)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) == kUlpfec ? "_ulpfec" : "_flexfec");
    });

// The SDP's a=extmap lines name the extensions a sender rewrites after its FEC: by id, in the
// one-byte and two-byte ranges, with or without a direction; anything else is kept.
TEST(SdpExtmap, NamesTheRewrittenExtensions) {
    const std::string sdp =
        "v=0\r\nm=video 9 UDP/TLS/RTP/SAVPF 96\r\n"
        "a=extmap:2 http://www.webrtc.org/experiments/rtp-hdrext/abs-send-time\r\n"
        "a=extmap:3 http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01\r\n"
        "a=extmap:4 urn:ietf:params:rtp-hdrext:sdes:mid\r\n"
        "a=extmap:7/sendrecv http://www.webrtc.org/experiments/rtp-hdrext/video-timing\r\n"
        "a=extmap:14 urn:ietf:params:rtp-hdrext:toffset\r\n"
        "a=extmap:255 http://www.webrtc.org/experiments/rtp-hdrext/transport-wide-cc-02\r\n"
        "a=extmap:256 urn:ietf:params:rtp-hdrext:toffset\r\n"
        "a=extmap:0 urn:ietf:params:rtp-hdrext:toffset\r\n"
        "a=extmap:12 https://aomediacodec.github.io/av1-rtp-spec/"
        "#dependency-descriptor-rtp-header-extension\r\n";
    streams::SdpMap map;
    std::string error;
    ASSERT_TRUE(streams::parse_sdp(sdp, &map, &error)) << error;
    using streams::SdpExt;
    const std::map<int, SdpExt> want = {{0, SdpExt::kept},
                                        {2, SdpExt::rewritten},
                                        {3, SdpExt::rewritten},
                                        {4, SdpExt::kept},
                                        {7, SdpExt::rewritten_from_7},
                                        {14, SdpExt::rewritten},
                                        {255, SdpExt::rewritten},
                                        {1, SdpExt::kept}};
    for (const auto& [id, ext] : want) EXPECT_EQ(map.video.ext[id], ext) << id;
    EXPECT_EQ(map.video.dependency_descriptor, 12);  // AV1's layers are read under it
}

// Without the map, the store learns which extensions were rewritten from an FEC packet it holds
// whose packets are all at hand and whose headers differ in length, when a rebuild needs it: the
// lost packet of a second group, with the same layouts, is rebuilt exactly. With nothing to learn
// from, it is refused.
enum class Teacher { none, held };

class FecLearning : public ::testing::TestWithParam<std::tuple<Teacher, Form>> {};

TEST_P(FecLearning, RewrittenExtensionsLearntFromACompleteGroup) {
    const Teacher teacher = std::get<0>(GetParam());
    const Form form = std::get<1>(GetParam());
    const std::vector<Elem> layouts[3] = {
        {kSendTime, kMid, kTiming}, {kSendTime, kMid}, {kSendTime, kPlayout}};
    std::vector<Bytes> at_fec, sent;
    for (uint16_t i = 0; i < 6; ++i) {
        at_fec.push_back(with_extension(10 + i, 20 + i, layouts[i % 3], false, true));
        sent.push_back(with_extension(10 + i, 20 + i, layouts[i % 3], false, false));
    }
    Bytes first, second;
    ASSERT_TRUE(encode(form, {at_fec[0], at_fec[1], at_fec[2]}, &first));
    ASSERT_TRUE(encode(form, {at_fec[3], at_fec[4], at_fec[5]}, &second));
    RepairStats stats;
    FecRecovery fec(4, &stats);
    Held held = {{kBase + 13, sent[3]}, {kBase + 15, sent[5]}};
    if (teacher == Teacher::held) {
        ASSERT_TRUE(add(fec, form, first));
        for (int i = 0; i < 3; ++i) held[kBase + 10 + i] = sent[i];
    }
    ASSERT_TRUE(add(fec, form, second));
    size_t n = 0;
    const uint8_t* p = fec.recover(kBase + 14, kSsrc, lookup, &held, &n);
    ASSERT_EQ(p != nullptr, teacher != Teacher::none);
    if (p) {
        EXPECT_EQ(Bytes(p, p + n), at_fec[4]);
    }
}

std::string learning_name(const ::testing::TestParamInfo<std::tuple<Teacher, Form>>& info) {
    static const char* const kTeacher[] = {"nothing_to_learn_from", "held_group"};
    return std::string(kTeacher[static_cast<int>(std::get<0>(info.param))]) +
           (std::get<1>(info.param) == kUlpfec ? "_ulpfec" : "_flexfec");
}

INSTANTIATE_TEST_SUITE_P(Table, FecLearning,
                         ::testing::Combine(::testing::Values(Teacher::none, Teacher::held),
                                            ::testing::Values(kUlpfec, kFlexfec)),
                         learning_name);

}  // namespace
