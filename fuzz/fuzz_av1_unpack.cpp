// The AV1 depacketizer on a stream of arbitrary packets (see codec_unpack_fuzz.h).
#include "av1_unpack.h"
#include "codec_unpack_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return codec_fuzz::run(VideoCodec::av1, av1_frame_size, data, size);
}
