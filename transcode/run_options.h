// Settings of the options beyond the basic conversion. Each defaults to the plain conversion, so a
// run without them writes exactly what it always has.
#pragma once

#include <cstdint>
#include <string>

constexpr uint32_t kReorderWindowMin = 1;
constexpr uint32_t kReorderWindowMax = 4096;
constexpr uint32_t kReorderWindowDefault = 256;

struct RunOptions {
    std::string output_dir;   // -o/--output: where the per-user files go; empty: the current directory
    std::string report_path;  // --report: the JSON run report; empty: none
    bool repair = false;      // --repair: reorder packets, fill audio gaps, write only decodable video
    uint32_t reorder_window = kReorderWindowDefault;  // --reorder-window N (implies repair)
    bool wait_keyframe = false;  // --wait-keyframe (implies repair)
    bool webm = false;           // --webm: one WebM per user after both passes
};

extern RunOptions run_options;

// `name` inside the output directory: as it stands when no directory is set.
std::string output_path(const std::string& name);
