// The VP9 depacketizer on a stream of arbitrary packets (see codec_unpack_fuzz.h).
#include "codec_unpack_fuzz.h"
#include "vp9_unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return codec_fuzz::run(VideoCodec::vp9, vp9_frame_size, data, size);
}
