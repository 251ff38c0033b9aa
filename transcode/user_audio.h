// Per-user Ogg Opus writer.
#pragma once

#include <ogg/ogg.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "audio_timeline.h"
#include "stream_observer.h"
#include "utils.h"

namespace muopus {

// A packet record pointing at `data` (borrowed); granulepos and packetno are the caller's.
ogg_packet* op_from_pkt(const unsigned char* data, int bytes);
// 48 kHz samples in the Opus packet.
int opus_samples(const unsigned char* data, int len);
ogg_packet* op_opustags();
// Allocates the two header packets and their data (malloc); a test puts a failing one in its place.
extern void* (*header_alloc)(size_t size);
// Writes one page to `f`, header then body: 0, -2 (header short) or -3 (body short), with the
// errno of the failed write in `*err`.
int write_page(FILE* f, const ogg_page& page, int* err);
// The identification header "OpusHead"; the two texts are printed when an allocation fails, since
// the two converters word them differently.
ogg_packet* build_opushead(const char* no_data, const char* no_packet);
void op_free(ogg_packet* op);  // frees the packet data (if any) and the record; null is fine
// The audio packet for one Opus RTP packet of `bytes` bytes: borrows the RTP payload inside `data`,
// takes the sequence number as packetno and adds the packet's samples to `*granule`, whose new
// value becomes granulepos. Null, with `*granule` unchanged, when the RTP header does not parse,
// the payload is empty, libopus rejects the packet or the record cannot be allocated. Both Ogg
// Opus writers build their audio packets here, so they write the same packets.
ogg_packet* op_from_rtp(const uint8_t* data, int bytes, int64_t* granule);

// Turns the Opus RTP packets of one user into one Ogg Opus file named "<local time>_<uid>.ogg".
class user_audio {
public:
    explicit user_audio(uint32_t uid);  // opens the output file at once
    ~user_audio();
    user_audio(const user_audio&) = delete;
    user_audio& operator=(const user_audio&) = delete;

    void put_rtp_data(std::unique_ptr<uint8_t[]> data, uint64_t length);
    void flush_all();
    int write_ogg_header();
    int ogg_write();
    int ogg_flush();
    ogg_packet* op_opushead();

    int64_t granule = 0;
    uint64_t packets_written = 0;  // audio packets handed to the Ogg stream
    uint64_t packets_refused = 0;  // packets that yielded no audio packet (not Opus, no payload)
    OggStreamPtr stream;
    FilePtr file;
    uint32_t uid;
    bool first_packet = true;
    std::string name;        // the output file's name, for error messages
    OutputBuffer io_buffer;  // stdio buffer of `file`, which is closed before it goes
    // A page write failed (reported once) or the headers could not be made: nothing more is
    // written to the file.
    bool write_failure_reported = false;
    std::unique_ptr<AudioTimeline> timeline;     // with --repair: fills gaps of the RTP timeline
    const StreamObservers* observers = nullptr;  // told of every packet written (may be null)

private:
    void fill_gap_before(const uint8_t* data, int bytes, int64_t start, ogg_packet* op);
    void tell_written(const uint8_t* data, int bytes, const ogg_packet* op) const;
    int write_pages(int (*next)(ogg_stream_state*, ogg_page*), FILE* messages);
};

}  // namespace muopus
