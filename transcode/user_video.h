// Per-user IVF writer and the output file naming shared by both writers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "av1_layers.h"
#include "keyframe_gate.h"
#include "mkv_video.h"
#include "rtp_payload.h"
#include "stream_buffer.h"
#include "stream_observer.h"
#include "utils.h"

// "%d-%02d-%02d_%02d-%02d-%02d_%u.%s" from the local time of the call, the user id and `ext`.
std::string timeFilename(const char* ext, uint32_t uid);

// Little-endian byte writers over a BufferIOWriter; used by the writer below and its tests.
// all_write returns what the writer's `write` returned, or 0 (and writes nothing) for a missing
// writer, a missing `write`, missing data or a length of 0.
int64_t all_write(BufferIOWriter* writer, const uint8_t* data, uint64_t length);
void put_w8(BufferIOWriter* writer, uint8_t value);
void put_wl16(BufferIOWriter* writer, uint16_t value);
void put_wl32(BufferIOWriter* writer, uint32_t value);
void put_wl64(BufferIOWriter* writer, uint64_t value);

// Turns the VP8 RTP packets of one user into one IVF file named "<local time>_<uid>.mkv"; with
// another codec (repair mode), into a Matroska file of that name (mkv_video.h).
// Must stay at one address from its first packet on: the decoder keeps a pointer to it.
class userVideo {
public:
    explicit userVideo(uint32_t uid, VideoCodec codec = VideoCodec::vp8);
    ~userVideo();
    userVideo(const userVideo&) = delete;
    userVideo& operator=(const userVideo&) = delete;

    void put_rtp_data(const uint8_t* data, uint64_t length);
    void flush_all();
    void ivf_write_header();
    void ivf_write_trailer();
    void onGotFrame(const uint8_t* frame, int size, uint32_t timestamp);

    uint64_t frame_count = 0;
    uint64_t frames_dropped = 0;  // frames assembled in part and dropped for a lost packet
    uint32_t uid;
    uint64_t delta_sum = 0;
    uint64_t last_timestamp = 0;
    uint32_t last_duration = 0;
    rtp_payload_t payload_handler;
    bool first_packet = true;
    // stdio buffer of `file`; declared before it so that it outlives the stream.
    OutputBuffer io_buffer;
    FilePtr file;
    // Stays null when the file or the decoder could not be made: the user's packets are skipped.
    void* decoder = nullptr;
    std::string name;                    // the output file's name, for error messages
    stream_output_data record;           // composes the file header and each record head; reused
    bool write_failed = false;           // a write failed and was reported: nothing more is written
    std::unique_ptr<KeyframeGate> gate;  // with --repair: which whole frames are written
    std::unique_ptr<Av1LayersState> av1_layers;  // AV1 with --repair: the gate's reader state
    const VideoCodec codec;
    std::unique_ptr<MatroskaVideo> mkv;  // codecs other than VP8: the file, in place of the IVF
    const StreamObservers* observers = nullptr;  // told of every frame written (may be null)

private:
    void close_file();
    void write_record();
    void write_bytes(const uint8_t* data, size_t size);
    void report_write_failure(int err);
};
