// A whole pass of one kind over arbitrary capture files, once as the default pass reads them and
// once in repair mode with --wait-keyframe and a window small enough that its in-order lane opens
// within a few packets. The outputs are deleted after every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "mult_file_trans.h"
#include "run_options.h"
#include "run_stats.h"

namespace fuzz {

inline void run_pass(const uint8_t* data, size_t size, bool video) {
    silence_converter_output();
    // The run record keeps an entry per user; one run's users must not pile up across millions.
    run_stats() = RunStats{};
    static const ScratchDir input(video ? "video-in" : "audio-in");
    static const ScratchDir output(video ? "video-out" : "audio-out");

    input.clear();
    const std::vector<std::string> files =
        write_capture_files(input, data, size, video ? ".video" : ".audio");
    for (const bool repair : {false, true}) {
        run_options.repair = repair;
        run_options.wait_keyframe = repair;
        run_options.reorder_window = repair ? 16 : kReorderWindowDefault;
        {
            const ScopedChdir in_output(output.path());
            MultFileTrans trans;
            trans.set_all_files(files);
            trans.start_trans_code(video);
        }
        output.clear();
        run_stats() = RunStats{};
    }
    run_options = RunOptions{};
}

}  // namespace fuzz
