// A whole video pass over arbitrary capture files: record reading across files, per-user writers,
// VP8 depacketizing and IVF output. The outputs are deleted after every run.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "mult_file_trans.h"
#include "run_stats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::silence_converter_output();
    // The run record keeps an entry per user; one run's users must not pile up across millions.
    run_stats() = RunStats{};
    static const fuzz::ScratchDir input("video-in");
    static const fuzz::ScratchDir output("video-out");

    input.clear();
    const std::vector<std::string> files = fuzz::write_capture_files(input, data, size, ".video");
    {
        const fuzz::ScopedChdir in_output(output.path());
        MultFileTrans trans;
        trans.set_all_files(files);
        trans.start_trans_code(true);
    }
    output.clear();
    return 0;
}
