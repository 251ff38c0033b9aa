// Reorder stage on arbitrary packet sequences: sequence numbers near and far, repeats, timestamps,
// SSRC changes, records that are not RTP, refused packets and flushes. Checked: within a run
// (between restarts of the ordering) packets come out in sequence number order and never twice;
// every packet the stage took comes out unless the unpacker would refuse it; a packet is called
// late only when its place had gone; memory stays within the window. A second stage is given
// each RTP packet the skip test keeps through pass_in_order() first, as the pass does: it must
// release the same packets in the same order and count the same.
//
// Input: one byte for the window, then 4 bytes per step:
//   op    bits 0-1: 0, 1 push near the last number (delta = int8 of byte 2), 2 push at the number
//         bytes 1-2, 3 something else (bit 2: flush, otherwise a record that is not RTP);
//         bit 3: other SSRC; bits 4-5: payload type 121 when both set (refused)
//   b1 b2 sequence number or delta
//   b3    payload bytes beyond the 4-byte id, and the timestamp's low byte
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "fuzz_support.h"
#include "reorder_window.h"
#include "vp8_unpack.h"

namespace {

struct Sent {
    uint16_t seq;
    uint64_t run;
    bool refused;
};

struct Model {
    uint32_t window = 1;
    uint64_t run = 0;  // advanced by every reset and every flush
    std::vector<Sent> sent;
    std::set<uint32_t> held;  // ids taken and not yet released
    // The last packet released, of whichever run.
    bool have_last = false;
    uint64_t last_run = 0;
    uint16_t last_seq = 0;
    // In the current run: the highest number taken, the last one released and the highest
    // refused one taken (it is released out of sight, and its place passes with it).
    bool any_taken = false, any_released = false, any_refused = false;
    uint16_t highest = 0, last_released = 0, highest_refused = 0;
    size_t largest = 5;  // the records that are not RTP

    void new_run() {
        ++run;
        any_taken = any_released = any_refused = false;
    }
};

int16_t diff(uint16_t a, uint16_t b) {
    return static_cast<int16_t>(static_cast<uint16_t>(a - b));
}

// The ids of what the lane's stage released, in order, beside the reference stage's.
struct Lane {
    std::vector<uint32_t> ours, reference;
};

void drain_lane(ReorderWindow& w, Lane& lane) {
    const uint8_t* p = nullptr;
    size_t n = 0;
    while (w.pop(&p, &n)) {
        if (n < 16) continue;
        uint32_t id = 0;
        memcpy(&id, p + 12, 4);
        lane.ours.push_back(id);
    }
}

void drain(ReorderWindow& w, Model& m, Lane& lane) {
    const uint8_t* p = nullptr;
    size_t n = 0;
    while (w.pop(&p, &n)) {
        FUZZ_CHECK(p != nullptr);
        if (n < 16) continue;  // a record that is not RTP, handed straight through
        uint32_t id = 0;
        memcpy(&id, p + 12, 4);
        lane.reference.push_back(id);
        FUZZ_CHECK(id < m.sent.size());
        FUZZ_CHECK(m.held.erase(id) == 1);  // taken once, released once
        const Sent& s = m.sent[id];
        FUZZ_CHECK(!s.refused);
        if (m.have_last && s.run == m.last_run)
            FUZZ_CHECK(diff(s.seq, m.last_seq) > 0);  // sorted, no repeat
        m.have_last = true;
        m.last_run = s.run;
        m.last_seq = s.seq;
        if (s.run == m.run) {
            m.any_released = true;
            m.last_released = s.seq;
        }
    }
    FUZZ_CHECK(w.held() <= m.window);
    FUZZ_CHECK(w.bytes_reserved() <= (m.window + 3) * m.largest);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Model m;
    m.window = (data[0] & 0x80) ? 4096 : 1u + (data[0] & 0x3F);
    RepairStats stats, stats2;
    ReorderWindow w(m.window, &stats, rtp_vp8_refused);
    ReorderWindow w2(m.window, &stats2, rtp_vp8_refused);
    Lane lane;
    uint16_t last = 0;
    for (size_t i = 1; i + 4 <= size; i += 4) {
        const uint8_t op = data[i];
        const uint8_t b1 = data[i + 1], b2 = data[i + 2], b3 = data[i + 3];
        if ((op & 3) == 3) {
            if (op & 4) {
                w.flush();
                w2.flush();
                drain(w, m, lane);
                drain_lane(w2, lane);
                // Whatever was taken has come out (refused ones are not written).
                for (uint32_t id : m.held) FUZZ_CHECK(m.sent[id].refused);
                m.held.clear();
                FUZZ_CHECK(w.held() == 0);
                m.new_run();
            } else {
                const uint8_t junk[5] = {b1, b2, b3, 0, 0};
                FUZZ_CHECK(w.push(junk, sizeof(junk)) == ReorderWindow::Verdict::passed);
                w2.push(junk, sizeof(junk));
                drain(w, m, lane);
                drain_lane(w2, lane);
            }
            continue;
        }
        const uint16_t seq = (op & 3) == 2 ? static_cast<uint16_t>((b1 << 8) | b2)
                                           : static_cast<uint16_t>(last + static_cast<int8_t>(b2));
        last = seq;
        const bool refused = (op & 0x30) == 0x30;
        const uint32_t ssrc = (op & 8) ? 0xBBBB : 0xAAAA;
        const uint32_t id = static_cast<uint32_t>(m.sent.size());
        std::vector<uint8_t> pkt = {0x80,
                                    static_cast<uint8_t>(refused ? 121 : 96),
                                    static_cast<uint8_t>(seq >> 8),
                                    static_cast<uint8_t>(seq),
                                    b1,
                                    b2,
                                    b3,
                                    b3,
                                    static_cast<uint8_t>(ssrc >> 24),
                                    static_cast<uint8_t>(ssrc >> 16),
                                    static_cast<uint8_t>(ssrc >> 8),
                                    static_cast<uint8_t>(ssrc)};
        pkt.resize(16 + (b3 & 0x1F));
        memcpy(&pkt[12], &id, 4);
        if (pkt.size() > m.largest) m.largest = pkt.size();

        const uint64_t resets = stats.resets;
        const ReorderWindow::Verdict v = w.push(pkt.data(), pkt.size());
        if (!refused && w2.pass_in_order(pkt.data(), pkt.size(), seq, ssrc))
            lane.ours.push_back(id);
        else
            w2.push(pkt.data(), pkt.size());
        if (stats.resets != resets) {
            FUZZ_CHECK(v == ReorderWindow::Verdict::held);
            m.new_run();
        }
        m.sent.push_back({seq, m.run, refused});
        if (v == ReorderWindow::Verdict::held) {
            m.held.insert(id);
            if (!m.any_taken || diff(seq, m.highest) > 0) m.highest = seq;
            m.any_taken = true;
            if (refused && (!m.any_refused || diff(seq, m.highest_refused) > 0))
                m.highest_refused = seq;
            m.any_refused = m.any_refused || refused;
        } else if (v == ReorderWindow::Verdict::late) {
            // Late only when its place had passed: at or before the last release of the run, or
            // a whole window below the highest number taken.
            FUZZ_CHECK((m.any_released && diff(seq, m.last_released) <= 0) ||
                       (m.any_refused && diff(seq, m.highest_refused) <= 0) ||
                       diff(m.highest, seq) >= static_cast<int>(m.window));
        } else {
            FUZZ_CHECK(v == ReorderWindow::Verdict::duplicate);
            bool seen = false;
            for (const Sent& s : m.sent)
                if (&s != &m.sent.back() && s.run == m.run && s.seq == seq) seen = true;
            FUZZ_CHECK(seen);
        }
        drain(w, m, lane);
        drain_lane(w2, lane);
    }
    w.flush();
    w2.flush();
    drain(w, m, lane);
    drain_lane(w2, lane);
    for (uint32_t id : m.held) FUZZ_CHECK(m.sent[id].refused);
    FUZZ_CHECK(w.held() == 0);
    FUZZ_CHECK(lane.ours == lane.reference);
    FUZZ_CHECK(stats2.reordered == stats.reordered && stats2.duplicates == stats.duplicates &&
               stats2.late == stats.late && stats2.resets == stats.resets);
    return 0;
}
