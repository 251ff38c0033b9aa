// Per-user files for the meeting composite's tests, made with the real encoders: an IVF file of
// VP8 frames (libvpx) showing one flat grey level, so that a tile of the composite tells whose it
// is by its luma, and an Ogg Opus file (libopus, libogg) of a tone, placed at chosen times.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace meeting_test {

// One stretch of a camera: frames of `width` x `height` from `start_ms` for `ms`, at `fps`.
struct VideoPiece {
    int64_t start_ms = 0;
    int64_t ms = 0;
    int width = 640;
    int height = 480;
    int fps = 30;
};

// Writes an IVF file of `pieces` in order (a gap between pieces is time with no frame; a new size
// starts with a key frame), every frame of luma `luma`. Frames whose index (counted over the
// file) is in `lost` are left out, as frames lost in transit are. Timestamps at 90 kHz count
// from `rtp_base`. Returns the number of frames written.
int write_ivf(const std::string& path, const std::vector<VideoPiece>& pieces, int luma,
              const std::vector<int>& lost = {}, uint32_t rtp_base = 1000);

// One stretch of voice: a tone of `hz` at `amplitude` (of full scale) from `start_ms` for `ms`.
struct AudioPiece {
    int64_t start_ms = 0;
    int64_t ms = 0;
    double hz = 440;
    double amplitude = 0.25;
};

// Writes an Ogg Opus file of 20 ms packets covering `pieces` (granule positions follow the times,
// so a gap between pieces is a gap in the file); packets whose index is in `lost` are left out.
int write_ogg_opus(const std::string& path, const std::vector<AudioPiece>& pieces,
                   const std::vector<int>& lost = {});

// Every `every`-th index below `count`, starting at `first` (a regular loss pattern).
std::vector<int> every_nth(int count, int every, int first);

}  // namespace meeting_test

namespace meeting_test {

// A composite read back with libavformat and decoded with libavcodec.
struct DecodedComposite {
    std::string error;  // empty when the file opened and every packet decoded
    std::string format;
    std::string video_codec;
    int width = 0;
    int height = 0;
    int video_frames = 0;
    double video_end = 0;                      // seconds: the last frame's time plus its duration
    std::map<int, std::vector<uint8_t>> luma;  // the Y plane (width x height) of frames asked for
    bool have_audio = false;
    int64_t audio_samples = 0;  // per channel, decoded
    double audio_peak = 0;      // largest absolute sample
    // Seconds at which the audio first exceeds 0.05 of full scale (-1: never).
    double audio_onset = -1;
};
DecodedComposite decode_composite(const std::string& path, const std::vector<int>& keep_frames);

// Mean luma of the rectangle (x, y, w, h) of a kept frame.
double mean_luma(const DecodedComposite& d, int frame, int x, int y, int w, int h);

}  // namespace meeting_test
