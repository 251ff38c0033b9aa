// A whole video pass over arbitrary capture files: record reading across files, per-user writers,
// VP8 depacketizing and IVF output, by default and in repair mode. The outputs are deleted after
// every run.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "mult_file_trans.h"
#include "run_options.h"
#include "run_stats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::silence_converter_output();
    // The run record keeps an entry per user; one run's users must not pile up across millions.
    run_stats() = RunStats{};
    static const fuzz::ScratchDir input("video-in");
    static const fuzz::ScratchDir output("video-out");

    input.clear();
    const std::vector<std::string> files = fuzz::write_capture_files(input, data, size, ".video");
    // Each input once as the default pass reads it and once in repair mode, with a window small
    // enough that its in-order lane opens within a few packets.
    for (const bool repair : {false, true}) {
        run_options.repair = repair;
        run_options.wait_keyframe = repair;
        run_options.reorder_window = repair ? 16 : kReorderWindowDefault;
        {
            const fuzz::ScopedChdir in_output(output.path());
            MultFileTrans trans;
            trans.set_all_files(files);
            trans.start_trans_code(true);
        }
        output.clear();
        run_stats() = RunStats{};
    }
    run_options = RunOptions{};
    return 0;
}
