// A whole audio pass over arbitrary capture files: record reading across files, per-user writers,
// Opus sample counting and Ogg output, by default and in repair mode.
#include <cstddef>
#include <cstdint>

#include "fuzz_pass.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::run_pass(data, size, false);
    return 0;
}
