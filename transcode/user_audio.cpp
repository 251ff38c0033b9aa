#include "user_audio.h"

#include <opus/opus.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "be_bytes.h"
#include "recording_clock.h"
#include "rtp_packet.h"
#include "run_options.h"
#include "run_stats.h"
#include "user_video.h"

namespace muopus {

namespace {

constexpr char kOpusHeadMagic[] = "OpusHead";
constexpr char kOpusTagsMagic[] = "OpusTags";
constexpr char kVendor[] = "opus rtp packet dump";
constexpr int kOpusHeadSize = 19;
constexpr int kSampleRate = 48000;
// The longest Opus packet libopus decodes: 120 ms at 48 kHz.
constexpr int kMaxPacketSamples = 5760;

void le16(unsigned char* p, int v) {
    p[0] = static_cast<unsigned char>(v & 0xFF);
    p[1] = static_cast<unsigned char>((v >> 8) & 0xFF);
}

void le32(unsigned char* p, int v) {
    const auto u = static_cast<uint32_t>(v);
    p[0] = static_cast<unsigned char>(u & 0xFF);
    p[1] = static_cast<unsigned char>((u >> 8) & 0xFF);
    p[2] = static_cast<unsigned char>((u >> 16) & 0xFF);
    p[3] = static_cast<unsigned char>((u >> 24) & 0xFF);
}

// The message texts carry their own newline, so they go out as they stand.
void print_text(const char* text, FILE* stream) {
    fwrite(text, 1, strlen(text), stream);
}

}  // namespace

void* (*header_alloc)(size_t size) = malloc;

namespace {

// A header packet record owning a fresh `size`-byte block for its data, granule 0; null, with the
// caller's text for whichever allocation failed printed on stderr, when either fails.
ogg_packet* alloc_header_packet(int size, int64_t packetno, const char* no_data,
                                const char* no_packet) {
    auto* data = static_cast<unsigned char*>(header_alloc(static_cast<size_t>(size)));
    auto* op = static_cast<ogg_packet*>(header_alloc(sizeof(ogg_packet)));
    if (data == nullptr) {
        print_text(no_data, stderr);
        free(op);
        return nullptr;
    }
    if (op == nullptr) {
        print_text(no_packet, stderr);
        free(data);
        return nullptr;
    }
    memset(op, 0, sizeof(*op));
    op->packet = data;
    op->bytes = size;
    op->packetno = packetno;
    return op;
}

}  // namespace

int write_page(FILE* f, const ogg_page& page, int* err) {
    errno = 0;
    if (fwrite(page.header, 1, static_cast<size_t>(page.header_len), f) !=
        static_cast<size_t>(page.header_len)) {
        *err = errno;
        return -2;
    }
    errno = 0;
    if (fwrite(page.body, 1, static_cast<size_t>(page.body_len), f) !=
        static_cast<size_t>(page.body_len)) {
        *err = errno;
        return -3;
    }
    return 0;
}

ogg_packet* op_from_pkt(const unsigned char* data, int bytes) {
    auto* op = static_cast<ogg_packet*>(malloc(sizeof(ogg_packet)));
    if (op == nullptr) {
        print_text("Couldn't allocate Ogg packet.\n", stderr);
        return nullptr;
    }
    memset(op, 0, sizeof(*op));
    op->packet = const_cast<unsigned char*>(data);
    op->bytes = bytes;
    op->b_o_s = 0;
    op->e_o_s = 0;
    return op;
}

int opus_samples(const unsigned char* data, int len) {
    if (data == nullptr || len < 1) return OPUS_BAD_ARG;
    const int per_frame = opus_packet_get_samples_per_frame(data, kSampleRate);
    const int frames = opus_packet_get_nb_frames(data, len);
    if (per_frame < 0) return per_frame;
    if (frames < 0) return frames;
    // A code-3 packet may claim 0 frames or more than 120 ms; the decoder refuses both.
    if (frames == 0 || per_frame * frames > kMaxPacketSamples) return OPUS_INVALID_PACKET;
    return per_frame * frames;
}

ogg_packet* op_opustags() {
    const int vendor_len = static_cast<int>(strlen(kVendor));
    const int size = static_cast<int>(strlen(kOpusTagsMagic)) + vendor_len + 8;
    ogg_packet* op = alloc_header_packet(size, 1, "Couldn't allocate data buffer.\n",
                                         "Couldn't allocate Ogg packet.\n");
    if (op == nullptr) return nullptr;
    unsigned char* data = op->packet;
    memcpy(data, kOpusTagsMagic, 8);
    le32(data + 8, vendor_len);
    memcpy(data + 12, kVendor, static_cast<size_t>(vendor_len));
    le32(data + 12 + vendor_len, 0);  // no user comments
    return op;
}

void op_free(ogg_packet* op) {
    if (op == nullptr) return;
    free(op->packet);
    free(op);
}

ogg_packet* build_opushead(const char* no_data, const char* no_packet) {
    ogg_packet* op = alloc_header_packet(kOpusHeadSize, 0, no_data, no_packet);
    if (op == nullptr) return nullptr;
    unsigned char* data = op->packet;
    memcpy(data, kOpusHeadMagic, 8);
    data[8] = 1;                   // version
    data[9] = 2;                   // channels
    le16(data + 10, 0);            // pre-skip
    le32(data + 12, kSampleRate);  // input sample rate
    le16(data + 16, 0);            // output gain
    data[18] = 0;                  // channel mapping family
    op->b_o_s = 1;
    return op;
}

ogg_packet* op_from_rtp(const uint8_t* data, int bytes, int64_t* granule) {
    if (data == nullptr || bytes <= 0) return nullptr;
    rtp_packet_t rtp;
    if (rtp_packet_deserialize(&rtp, data, bytes) != 0 || rtp.payloadlen <= 0) return nullptr;
    const auto* opus = static_cast<const unsigned char*>(rtp.payload);
    // Counted before the record exists so that a refused packet leaves the granule as it was.
    const int samples = opus_samples(opus, rtp.payloadlen);
    if (samples < 0) return nullptr;
    // A packet that libopus cannot split into its frames stops every decoder at that point.
    unsigned char toc = 0;
    const unsigned char* frames[48];
    opus_int16 sizes[48];
    if (opus_packet_parse(opus, rtp.payloadlen, &toc, frames, sizes, nullptr) < 0) return nullptr;
    ogg_packet* op = op_from_pkt(opus, rtp.payloadlen);
    if (op == nullptr) return nullptr;
    *granule += samples;
    op->granulepos = *granule;
    op->packetno = rtp.rtp.seq;
    return op;
}

user_audio::user_audio(uint32_t uid) : uid(uid), name(output_path(timeFilename("ogg", uid))) {
    file = create_output(name, io_buffer);
    if (run_options.repair)
        timeline = std::make_unique<AudioTimeline>(&run_stats().audio[uid].repair);
}

user_audio::~user_audio() {
    // Normally flush_all has closed the file. Otherwise close it here, while `io_buffer`, which
    // stdio writes from on close, still exists.
    if (file) close_output(file, name);
}

void user_audio::put_rtp_data(std::unique_ptr<uint8_t[]> data, uint64_t length) {
    if (first_packet) {
        first_packet = false;
        // Every user draws its serial number at its first packet, so that a file that could not
        // be created does not shift the serial numbers of the users after it.
        if (file)
            write_ogg_header();
        else
            rand();
    }
    // No file (reported when it could not be created), or one given up.
    if (!file || !stream || !data || length > static_cast<uint64_t>(INT_MAX)) return;
    const int64_t start = granule;
    ogg_packet* op = op_from_rtp(data.get(), static_cast<int>(length), &granule);
    if (op == nullptr) {
        ++packets_refused;
        return;
    }
    if (timeline) fill_gap_before(data.get(), static_cast<int>(length), start, op);
    ogg_stream_packetin(stream.get(), op);
    ++packets_written;
    if (observers && !observers->empty()) tell_written(data.get(), static_cast<int>(length), op);
    free(op);  // the data is borrowed from `data`, and libogg has copied it
    ogg_write();
}

// Writes the packets that cover a gap in the RTP timeline before `op` (whose granule position
// counted from `start`) and moves `op` to its place after them.
void user_audio::fill_gap_before(const uint8_t* data, int bytes, int64_t start, ogg_packet* op) {
    // op_from_rtp() has read the packet: its fixed header is there.
    if (bytes < 12) return;
    const uint32_t timestamp = be32(data + 4);
    const int64_t samples = granule - start;
    timeline->clock_shift(recording_clock().stall_before(uid, timestamp));
    timeline->before(timestamp, be32(data + 8), op->packet[0], static_cast<int>(samples));
    granule = start;
    FillerPacket filler;
    while (timeline->next(&filler)) {
        ogg_packet* gap = op_from_pkt(filler.bytes, filler.size);
        if (gap == nullptr) break;
        granule += filler.samples;
        gap->granulepos = granule;
        gap->packetno = op->packetno;
        ogg_stream_packetin(stream.get(), gap);
        ++packets_written;
        if (observers && !observers->empty()) tell_written(data, bytes, gap);
        free(gap);
        ogg_write();
    }
    granule += samples;
    op->granulepos = granule;
}

// Tells the observers of one packet written; a filler is told with the timestamp of the packet
// whose gap it covers.
void user_audio::tell_written(const uint8_t* data, int bytes, const ogg_packet* op) const {
    rtp_packet_t rtp;
    const uint32_t timestamp =
        rtp_packet_deserialize(&rtp, data, bytes) == 0 ? rtp.rtp.timestamp : 0;
    observers->written(uid, {timestamp, static_cast<int64_t>(op->granulepos), op->packet,
                             static_cast<size_t>(op->bytes)});
}

void user_audio::flush_all() {
    ogg_flush();
    if (write_failure_reported)
        discard_output(file);
    else
        close_output(file, name);
    stream.reset();
}

int user_audio::write_ogg_header() {
    const int serial = rand();
    auto* block = static_cast<ogg_stream_state*>(malloc(sizeof(ogg_stream_state)));
    if (block != nullptr && ogg_stream_init(block, serial) == 0) stream.reset(block);
    ogg_packet* head = stream ? op_opushead() : nullptr;
    ogg_packet* tags = head ? op_opustags() : nullptr;
    if (tags == nullptr) {
        // A stream without its identification header is no Ogg Opus stream: give the file up.
        if (!stream) free(block);
        op_free(head);
        stream.reset();
        output_failure(name, "cannot compose the Ogg Opus headers", ENOMEM);
        write_failure_reported = true;
        return -1;
    }
    ogg_stream_packetin(stream.get(), head);
    op_free(head);
    ogg_stream_packetin(stream.get(), tags);
    op_free(tags);
    // Each header goes out on a page of its own before any audio is submitted.
    ogg_flush();
    return 0;
}

int user_audio::ogg_write() {
    return write_pages(ogg_stream_pageout, stderr);
}

int user_audio::ogg_flush() {
    return write_pages(ogg_stream_flush, stdout);
}

// Writes every page that `next` hands out. A short write is announced on `messages` (ogg_write and
// ogg_flush have always used different streams for it) and marks the run as failed, once per file.
int user_audio::write_pages(int (*next)(ogg_stream_state*, ogg_page*), FILE* messages) {
    if (!stream || !file) return -1;
    ogg_page page;
    while (next(stream.get(), &page) != 0) {
        // After the first failure nothing more goes to the file: the pages that followed would
        // stand after a hole. They are still taken out of the stream, which would grow otherwise.
        if (write_failure_reported) continue;
        int err = 0;
        const int rc = write_page(file.get(), page, &err);
        if (rc == 0) continue;
        print_text(rc == -2 ? "Error writing Ogg page header\n" : "Error writing Ogg page body\n",
                   messages);
        fflush(messages);
        if (!write_failure_reported) {
            write_failure_reported = true;
            output_failure(name, "cannot write", err);
        }
        return rc;
    }
    return write_failure_reported ? -1 : 0;
}

ogg_packet* user_audio::op_opushead() {
    return build_opushead("couldn't allocate data buffer.\n", "couldn't allocate ogg packet.\n");
}

}  // namespace muopus
