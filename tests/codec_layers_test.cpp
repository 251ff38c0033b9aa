// The layer readers of VP9 (the payload descriptor, RFC 9628) and AV1 (the dependency descriptor,
// the AV1 RTP payload format's appendix A), and what the key-frame gate holds back with them after
// a loss. Descriptor bytes are written out bit by bit from the texts; the frames held back follow
// from the references those bytes state.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "av1_layers.h"
#include "keyframe_gate.h"
#include "rtp_payload.h"
#include "rtp_support.h"
#include "vp9_layers.h"

namespace {

// ---- AV1: the dependency descriptor's bytes ------------------------------------------------

// An L1T3 structure: templates T0 (key, no diffs), T1 (layer 0, diff 4), T2 (layer 1, diff 2),
// T3 (layer 2, diff 1). Bits: S=1 E=1, template 0, frame 0x0100 | structure present, no active
// targets, no custom fields | offset 0, DtCnt 3 | next_layer_idc 0 1 1 3 | DTIs 2 2 2, 3 3 3,
// 0 3 3, 0 0 1 | fdiffs -, 4, 2, 1 | chain_cnt ns(4) = 0 | no resolutions | padding.
const std::vector<uint8_t> kL1T3Key = {0xc0, 0x01, 0x00, 0x80, 0x02, 0x17,
                                       0xab, 0xf3, 0xc1, 0x4d, 0x14, 0x00};

// Offset 62, DtCnt 1, two templates (T0: no diff, T1: diff 1), ns(2) = 0 chains, frame 5.
const std::vector<uint8_t> kOffset62Key = {0xfe, 0x00, 0x05, 0x87, 0xc0, 0x3b, 0x40, 0x00};

struct DdCase {
    const char* name;
    std::vector<uint8_t> before;  // a descriptor read first, for its structure (empty: none)
    std::vector<uint8_t> bytes;
    bool ok;
    uint16_t frame_number;
    int temporal_id;
    std::vector<uint16_t> fdiffs;
};

void PrintTo(const DdCase& c, std::ostream* os) {
    *os << c.name;
}

class DependencyDescriptor : public ::testing::TestWithParam<DdCase> {};

TEST_P(DependencyDescriptor, ReadsTheFrameAndItsDiffs) {
    const DdCase& c = GetParam();
    DdStructure s;
    DdFrame f;
    if (!c.before.empty()) {
        ASSERT_TRUE(av1_dependency_descriptor(c.before.data(), c.before.size(), &s, &f));
    }
    ASSERT_EQ(av1_dependency_descriptor(c.bytes.data(), c.bytes.size(), &s, &f), c.ok);
    if (!c.ok) return;
    EXPECT_EQ(f.frame_number, c.frame_number);
    EXPECT_EQ(f.temporal_id, c.temporal_id);
    EXPECT_EQ(std::vector<uint16_t>(f.fdiff, f.fdiff + f.fdiffs), c.fdiffs);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DependencyDescriptor,
    ::testing::Values(
        DdCase{"key_with_structure", {}, kL1T3Key, true, 0x0100, 0, {}},
        // Mandatory fields only: templates of the structure in force.
        DdCase{"template_1_base_layer", kL1T3Key, {0xc1, 0x01, 0x04}, true, 0x0104, 0, {4}},
        DdCase{"template_2_layer_1", kL1T3Key, {0xc2, 0x01, 0x02}, true, 0x0102, 1, {2}},
        DdCase{"template_3_layer_2", kL1T3Key, {0x83, 0xff, 0xff}, true, 0xffff, 2, {1}},
        DdCase{"template_beyond_the_structure", kL1T3Key, {0xc4, 0x01, 0x04}, false, 0, 0, {}},
        DdCase{"no_structure_yet", {}, {0xc1, 0x01, 0x04}, false, 0, 0, {}},
        // Custom fdiffs: size 1 (4 bits) 0011 -> 4, size 2 (8 bits) 00010000 -> 17, end.
        DdCase{"custom_fdiffs",
               kL1T3Key,
               {0xc3, 0x01, 0x08, 0x12, 0x70, 0x80},
               true,
               0x0108,
               2,
               {4, 17}},
        // Template ids count from the offset and wrap at 64.
        DdCase{"offset_62_template_62", {}, kOffset62Key, true, 5, 0, {}},
        DdCase{"offset_62_template_63", kOffset62Key, {0xbf, 0x00, 0x06}, true, 6, 0, {1}},
        DdCase{"offset_62_template_0_is_beyond", kOffset62Key, {0x80, 0x00, 0x06}, false, 0, 0, {}},
        DdCase{"cut_short", kL1T3Key, {0xc1, 0x01}, false, 0, 0, {}},
        DdCase{"structure_cut_short", {}, {0xc0, 0x01, 0x00, 0x80, 0x02, 0x17}, false, 0, 0, {}}),
    [](const ::testing::TestParamInfo<DdCase>& info) { return std::string(info.param.name); });

// ---- Frames held back after a loss ---------------------------------------------------------

enum class Form { vp9_flexible, vp9_layers, av1_dd };

struct LossCase {
    const char* name;
    Form form;
    // Space-separated pictures: K key, w whole, g whole after a sequence gap, p dropped for a lost
    // packet (its first packet seen), - lost with every packet. Then per form:
    //   vp9_flexible: ':' and the P_DIFFs of each layer frame, ',' between diffs, '|' between the
    //     spatial layer frames of the picture; no ':' is P=0;
    //   vp9_layers: the TID digit, 'u' for the U bit (no digit: no layer indices);
    //   av1_dd: the template of each layer frame ('|' between), or 'c' and custom fdiffs.
    std::string pictures;
    std::string admitted;  // '1' written, '0' held back, per K, w and g
    uint64_t lost;
    uint8_t extension_id = 5;        // av1_dd: 0 is a call whose SDP named no descriptor
    uint16_t first_number = 0x0100;  // av1_dd: the key frame's frame number
};

void PrintTo(const LossCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, sep)) out.push_back(part);
    return out;
}

// RFC 9628 section 4.2: |I|P|L|F|B|E|V|Z|, |M| PICTURE ID (15 bits)|, then per mode.
std::vector<uint8_t> vp9_payload(const LossCase& c, uint16_t pid, const std::string& body,
                                 bool begin, uint8_t* tl0) {
    std::vector<uint8_t> d;
    if (c.form == Form::vp9_flexible) {
        const bool p = !body.empty();
        d = {static_cast<uint8_t>(0x80 | (p ? 0x40 : 0) | 0x10 | (begin ? 0x08 : 0) | 0x04),
             static_cast<uint8_t>(0x80 | (pid >> 8)), static_cast<uint8_t>(pid)};
        const std::vector<std::string> diffs = split(body, ',');
        for (size_t i = 0; i < diffs.size(); ++i)  // |P_DIFF|N|
            d.push_back(
                static_cast<uint8_t>((std::stoi(diffs[i]) << 1) | (i + 1 < diffs.size() ? 1 : 0)));
        return d;
    }
    const bool layers = !body.empty() && isdigit(static_cast<unsigned char>(body[0]));
    d = {static_cast<uint8_t>(0x80 | 0x40 | (layers ? 0x20 : 0) | 0x08 | 0x04),
         static_cast<uint8_t>(0x80 | (pid >> 8)), static_cast<uint8_t>(pid)};
    if (layers) {
        const int tid = body[0] - '0';
        if (tid == 0) ++*tl0;
        d.push_back(
            static_cast<uint8_t>((tid << 5) | (body.find('u') != std::string::npos ? 0x10 : 0)));
        d.push_back(*tl0);  // |TID|U| SID |D|, TL0PICIDX
    }
    return d;
}

// A one-byte-form header extension (RFC 8285) holding the descriptor under `id`.
std::vector<uint8_t> with_extension(std::vector<uint8_t> packet, uint8_t id,
                                    const std::vector<uint8_t>& dd) {
    std::vector<uint8_t> ext = {static_cast<uint8_t>((id << 4) | (dd.size() - 1))};
    ext.insert(ext.end(), dd.begin(), dd.end());
    while (ext.size() % 4) ext.push_back(0);
    std::vector<uint8_t> head(packet.begin(), packet.begin() + 12);
    head[0] |= 0x10;
    head.insert(head.end(), {0xBE, 0xDE, 0, static_cast<uint8_t>(ext.size() / 4)});
    head.insert(head.end(), ext.begin(), ext.end());
    head.insert(head.end(), packet.begin() + 12, packet.end());
    return head;
}

// The descriptor of one AV1 frame: the key frame carries the structure, the others only the
// mandatory fields; 'c' and a diff: one custom fdiff (size 3, twelve bits) on template 3.
std::vector<uint8_t> dd_of(const std::string& t, uint16_t number) {
    const uint8_t hi = static_cast<uint8_t>(number >> 8), lo = static_cast<uint8_t>(number);
    if (t == "K") {
        std::vector<uint8_t> d = kL1T3Key;
        d[1] = hi;
        d[2] = lo;
        return d;
    }
    if (t[0] == 'c') {
        // 0 0 0 1 0 | 11 and twelve bits of fdiff_minus_one | 00
        const int d = std::stoi(t.substr(1)) - 1;
        return {0xc3,
                hi,
                lo,
                static_cast<uint8_t>(0x16 | (d >> 11)),
                static_cast<uint8_t>(d >> 3),
                static_cast<uint8_t>((d & 7) << 5)};
    }
    return {static_cast<uint8_t>(0xc0 | std::stoi(t)), hi, lo};
}

std::string many(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

bool test_key(const uint8_t* frame, int size) {
    return size > 0 && frame[0] == 'K';
}

class LayerLoss : public ::testing::TestWithParam<LossCase> {};

std::string loss_case_name(const ::testing::TestParamInfo<LossCase>& info) {
    return info.param.name;
}

TEST_P(LayerLoss, HoldsBackExactlyWhatRefersToTheLoss) {
    const LossCase& c = GetParam();
    RepairStats stats;
    Av1LayersState av1;
    av1.extension_id = c.extension_id;
    KeyframeGate gate =
        c.form == Form::av1_dd
            ? KeyframeGate(true, &stats, LayersReader{av1_frame_layers, &av1}, test_key)
            : KeyframeGate(true, &stats, vp9_frame_layers, test_key);
    std::istringstream in(c.pictures);
    std::string pic, got;
    uint16_t seq = 1, pid = 0, number = c.first_number;
    uint8_t tl0 = 0;
    for (uint32_t ts = 90000; in >> pic; ts += 3000) {
        const char kind = pic[0];
        std::string body = pic.substr(1);
        if (!body.empty() && body[0] == ':') body = body.substr(1);
        if (c.form == Form::vp9_flexible && pic.find(':') == std::string::npos) body.clear();
        const std::vector<std::string> frames =
            c.form == Form::vp9_layers ? std::vector<std::string>{body} : split(body, '|');
        const size_t count = frames.empty() ? 1 : frames.size();
        for (size_t i = 0; i < count; ++i, ++seq) {
            const std::string f = frames.empty() ? "" : frames[i];
            std::vector<uint8_t> packet;
            if (c.form == Form::av1_dd) {
                packet = with_extension(rtptest::rtp_bytes(seq, ts, i + 1 == count, {0x10}), 5,
                                        dd_of(kind == 'K' ? "K" : f, number++));
            } else {
                packet =
                    rtptest::rtp_bytes(seq, ts, i + 1 == count, vp9_payload(c, pid, f, true, &tl0));
            }
            if (kind != '-') gate.packet(packet.data(), packet.size());
        }
        ++pid;
        if (kind == '-') continue;
        if (kind == 'p') {
            gate.dropped(ts);
            continue;
        }
        const uint8_t frame[2] = {static_cast<uint8_t>(kind == 'K' ? 'K' : 'd'), 0};
        got += gate.admit(frame, 2, kind == 'g' ? RTP_PAYLOAD_FLAG_PACKET_LOST : 0, ts) ? '1' : '0';
    }
    EXPECT_EQ(got, c.admitted);
    EXPECT_EQ(stats.frames_lost, c.lost);
}

// L1T3 as RFC 9628 draws it, in flexible mode: layer 0 refers 4 pictures back, layer 1 to the
// layer-0 picture 2 back, layer 2 to the picture before it.
INSTANTIATE_TEST_SUITE_P(
    Vp9Flexible, LayerLoss,
    ::testing::Values(
        LossCase{"lost_layer_2_costs_itself", Form::vp9_flexible,
                 "K w:1 w:2 w:1 w:4 p:1 g:2 w:1 w:4", "11111111", 1},
        LossCase{"lost_layer_1_holds_the_picture_on_it", Form::vp9_flexible,
                 "K w:1 w:2 w:1 w:4 w:1 p:2 g:1 w:4 w:1", "111111011", 1},
        LossCase{"lost_layer_0_holds_all_until_a_key", Form::vp9_flexible,
                 "K w:1 w:2 w:1 p:4 g:1 w:2 w:1 w:4 K", "111100001", 1},
        LossCase{"lost_whole_counted_by_picture_id", Form::vp9_flexible,
                 "K w:1 w:2 w:1 w:4 -:1 g:2 w:1", "1111111", 1},
        LossCase{"second_reference_lost", Form::vp9_flexible, "K w:1 p:1 g:3,1 w:3", "1101", 1},
        // Spatial layers: the picture refers to what either layer frame refers to.
        LossCase{"upper_spatial_layer_refers_to_the_loss", Form::vp9_flexible,
                 "K w:1|1 p:1|1 g:2|1 w:3|3", "1101", 1},
        // P=0: no inter-picture prediction, so nothing before it is needed.
        LossCase{"intra_picture_after_a_loss", Form::vp9_flexible, "K w:1 p:1 g w:1", "1111", 1}),
    loss_case_name);

// Non-flexible mode: the layer rule with TID and U (a switching-up point at TID t: the frames
// above t refer to nothing before it in their layers).
INSTANTIATE_TEST_SUITE_P(
    Vp9Layers, LayerLoss,
    ::testing::Values(LossCase{"lost_layer_1_without_a_switch_point", Form::vp9_layers,
                               "K0 w2 w1 w2 w0 w2 p1 g2 w0 w2 w1 w2 K0", "111111010001", 1},
                      LossCase{"switch_point_in_layer_0_mends_above", Form::vp9_layers,
                               "K0 w2 w1 w2 w0 w2 p1 g2 w0u w2 w1 w2", "11111101111", 1},
                      LossCase{"switch_point_in_layer_1_mends_layer_2", Form::vp9_layers,
                               "K0 w2 w1 w2 w0 w2 p2 g2 w1u w2", "111111011", 1},
                      LossCase{"switch_point_above_the_loss_mends_nothing", Form::vp9_layers,
                               "K0 w2 w1 w2 w0 p1 g2u w2 w0", "11111001", 1},
                      LossCase{"without_layer_indices_any_loss_waits", Form::vp9_layers,
                               "K w p g w K", "11001", 1}),
    loss_case_name);

// The dependency descriptor with the L1T3 structure above: templates 1 (layer 0, diff 4),
// 2 (layer 1, diff 2), 3 (layer 2, diff 1).
INSTANTIATE_TEST_SUITE_P(
    Av1Dd, LayerLoss,
    ::testing::Values(
        LossCase{"lost_layer_2_costs_itself", Form::av1_dd, "K w3 w2 w3 w1 p3 g2 w3 w1", "11111111",
                 1},
        LossCase{"lost_layer_1_holds_the_frame_on_it", Form::av1_dd, "K w3 w2 w3 w1 w3 p2 g3 w1 w3",
                 "111111011", 1},
        LossCase{"lost_layer_0_holds_all_until_a_key", Form::av1_dd, "K w3 w2 w3 p1 g3 w2 w3 w1 K",
                 "111100001", 1},
        LossCase{"lost_whole_counted_by_frame_number", Form::av1_dd, "K w3 w2 w3 w1 -3 g2 w3",
                 "1111111", 1},
        LossCase{"custom_fdiffs_past_the_loss", Form::av1_dd, "K w3 w2 w3 w1 w3 p2 g3 wc4",
                 "11111101", 1},
        LossCase{"custom_fdiffs_onto_the_loss", Form::av1_dd, "K w3 w2 w3 w1 w3 p2 g3 wc2",
                 "11111100", 1},
        // Two frames in one temporal unit: the unit refers to what either refers to; a diff onto
        // the unit's own first frame stays inside it.
        LossCase{"second_frame_of_a_unit_refers_to_the_loss", Form::av1_dd, "K|K w3|3 p3|3 g1|2",
                 "110", 1},
        LossCase{"diff_onto_the_units_own_frame", Form::av1_dd, "K|K w3|3 p3|3 g1|3", "111", 1},
        LossCase{"frame_numbers_wrap", Form::av1_dd, "K w3 w2 w3 w1 -3 g2 w3 p1 g3", "11111110", 2,
                 5, 0xfffd},
        // A reference older than the frames remembered is taken for a missing one.
        LossCase{"reference_older_than_remembered", Form::av1_dd,
                 "K" + many(" w3", 299) + " wc512 wc2", many("1", 300) + "01", 0},
        // Without the descriptor's extension id (no SDP) any loss waits, as it always did.
        LossCase{"no_extension_id_waits_for_a_key", Form::av1_dd, "K w3 w2 w3 w1 p3 g2 w3 w1 K",
                 "111110001", 1, 0}),
    loss_case_name);

}  // namespace
