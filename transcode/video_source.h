// A user's video file read back after the passes (by the WebM step and the meeting composite):
// its frames in time order on the 90 kHz clock, whatever the codec. A VP8 user's file is IVF, read
// by webm_read::IvfSource; the others' (VP9, AV1, H.264) are Matroska, read with libavformat's
// demuxer through the same checked open. Nothing holds a whole file.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "libav_loader.h"

#include "webm_mux.h"
#include "webm_readers.h"

// One video track: frames in time order on the 90 kHz clock.
class VideoSource {
public:
    virtual ~VideoSource() = default;
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual uint64_t frames() const = 0;
    virtual bool have() const = 0;
    virtual webm_read::SourcePacket& current() = 0;
    virtual bool advance() = 0;
    virtual AVCodecID codec_id() const = 0;
    // The container's codec private data (avcC, av1C), empty for none.
    virtual const std::vector<uint8_t>& extradata() const = 0;
};

// The track of `in` (IVF for VP8 or no codec named, else Matroska); null when the file is
// missing, unreadable, not of its kind or holds no frame.
std::unique_ptr<VideoSource> open_video_source(const WebmInput& in);
