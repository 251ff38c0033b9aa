// Settings of the options beyond the basic conversion. Each defaults to the plain conversion, so a
// run without them writes exactly what it always has.
#pragma once

#include <cstdint>
#include <string>

constexpr uint32_t kReorderWindowMin = 1;
constexpr uint32_t kReorderWindowMax = 4096;
// The window recovers a packet that comes up to N - 1 packets after its place, at the cost of N
// packets of memory per user. Senders keep about a second of packets for retransmission; at
// 4 Mbit/s of 1,200-byte packets that is some 420 packets, so 512 recovers every retransmission
// they can send there (a retransmission 150 ms late needs ~60) for 768 KB per user at most.
// bench/repair_bench.sh measures the recovery against the window.
constexpr uint32_t kReorderWindowDefault = 512;

struct RunOptions {
    std::string
        output_dir;  // -o/--output: where the per-user files go; empty: the current directory
    std::string report_path;  // --report: the JSON run report; empty: none
    bool repair = false;  // --repair: reorder packets, fill audio gaps, write only decodable video
    uint32_t reorder_window = kReorderWindowDefault;  // --reorder-window N (implies repair)
    bool wait_keyframe = false;                       // --wait-keyframe (implies repair)
    bool fec = true;  // --no-fec: repair without rebuilding lost packets from FEC (implies repair)
    bool webm = false;  // --webm: one WebM per user after both passes
    // --align: every user's files start at the recording's first packet, on the recording clock.
    bool align = false;
    // --compose FILE: one WebM of the whole meeting after both passes; empty: none.
    std::string compose_path;
    int compose_width = 1280;  // --compose-size WxH
    int compose_height = 720;
    int compose_rate = 30;     // --compose-rate N (frames per second)
    bool compose_vp9 = false;  // --compose-vp9
};

extern RunOptions run_options;

// `name` inside the output directory: as it stands when no directory is set.
std::string output_path(const std::string& name);
