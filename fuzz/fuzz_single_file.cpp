// The single-file Opus converter on an arbitrary input file. It works on fixed names in its
// current directory, so each run writes the input there, converts it and removes the output.
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "main.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::silence_converter_output();
    static const fuzz::ScratchDir dir("single");

    fuzz::write_file(dir.file("a_1650598869249.audio"), data, size);
    {
        const fuzz::ScopedChdir in_dir(dir.path());
        tran_opus_ogg();
    }
    unlink(dir.file("out1.ogg").c_str());
    return 0;
}
