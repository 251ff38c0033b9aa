// The H.264 depacketizer on a stream of arbitrary packets (see codec_unpack_fuzz.h).
#include "codec_unpack_fuzz.h"
#include "h264_unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return codec_fuzz::run(VideoCodec::h264, h264_frame_size, data, size);
}
