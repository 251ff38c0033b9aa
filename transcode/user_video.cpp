#include "user_video.h"

#include <cerrno>
#include <climits>
#include <ctime>

#include "run_options.h"
#include "run_stats.h"
#include "sdp_map.h"

namespace {

// IVF file header fields.
constexpr uint8_t kSignature[4] = {'D', 'K', 'I', 'F'};
constexpr uint16_t kVersion = 0;
constexpr uint16_t kHeaderSize = 32;
constexpr uint8_t kCodecVp8[4] = {0x56, 0x50, 0x38, 0x30};  // "VP80"
// Every file claims 640x480: players take the real picture size from the VP8 key frames.
constexpr uint16_t kWidth = 640;
constexpr uint16_t kHeight = 480;
constexpr uint32_t kTimeBaseRate = 90000;  // the RTP clock of VP8, so RTP timestamps go in as-is
constexpr uint32_t kTimeBaseScale = 1;
constexpr uint64_t kUnknownLength = ~uint64_t{0};
constexpr long kLengthOffset = 24;

constexpr const char* kExtension = "mkv";
constexpr uint32_t kDurationPad = 5;

// The decoder's frame callback; `param` is the writer that created the decoder. Only whole frames
// arrive here; `flags` tell the repair mode's gate of a loss before the frame.
int onFrameReady(void* param, const void* frame, int size, uint32_t timestamp, int flags) noexcept {
    auto* video = static_cast<userVideo*>(param);
    const auto* bytes = static_cast<const uint8_t*>(frame);
    if (video->gate && !video->gate->admit(bytes, size, flags, timestamp)) return 0;
    video->onGotFrame(bytes, size, timestamp);
    return 0;
}

void onFrameDropped(void* param, uint32_t timestamp) noexcept {
    auto* video = static_cast<userVideo*>(param);
    ++video->frames_dropped;
    if (video->gate) video->gate->dropped(timestamp);
}

}  // namespace

std::string timeFilename(const char* ext, uint32_t uid) {
    const time_t now = time(nullptr);
    struct tm local = {};
    if (const struct tm* t = localtime(&now)) local = *t;
    char name[256] = {};
    snprintf(name, sizeof(name), "%d-%02d-%02d_%02d-%02d-%02d_%u.%s", local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, uid,
             ext ? ext : "");
    return name;
}

int64_t all_write(BufferIOWriter* writer, const uint8_t* data, uint64_t length) {
    if (!writer || !writer->write || !data || length == 0) return 0;
    return writer->write(writer->sink, data, length);
}

void put_w8(BufferIOWriter* writer, uint8_t value) {
    all_write(writer, &value, 1);
}

void put_wl16(BufferIOWriter* writer, uint16_t value) {
    put_w8(writer, static_cast<uint8_t>(value));
    put_w8(writer, static_cast<uint8_t>(value >> 8));
}

void put_wl32(BufferIOWriter* writer, uint32_t value) {
    put_wl16(writer, static_cast<uint16_t>(value));
    put_wl16(writer, static_cast<uint16_t>(value >> 16));
}

void put_wl64(BufferIOWriter* writer, uint64_t value) {
    put_wl32(writer, static_cast<uint32_t>(value));
    put_wl32(writer, static_cast<uint32_t>(value >> 32));
}

userVideo::userVideo(uint32_t uid, VideoCodec codec)
    : uid(uid), payload_handler{onFrameReady, onFrameDropped}, codec(codec) {
    if (!run_options.repair) return;
    RepairStats* stats = &run_stats().video[uid].repair;
    if (codec != VideoCodec::av1) {
        // Layer information is read from the VP8 and VP9 descriptors; H.264 waits for a key frame
        // after a loss.
        gate = std::make_unique<KeyframeGate>(run_options.wait_keyframe, stats,
                                              codec_layers_reader(codec), codec_key_test(codec));
        return;
    }
    // AV1's dependency descriptor, when the SDP names its extension.
    av1_layers = std::make_unique<Av1LayersState>();
    const streams::SdpMap* sdp = streams::run_sdp();
    if (sdp && sdp->video.present) av1_layers->extension_id = sdp->video.dependency_descriptor;
    gate = std::make_unique<KeyframeGate>(run_options.wait_keyframe, stats,
                                          LayersReader{av1_frame_layers, av1_layers.get()},
                                          codec_key_test(codec));
}

userVideo::~userVideo() {
    // A writer normally ends through flush_all; one that did not still closes its file rather
    // than leave it open to the end of the process.
    close_file();
    rtp_payload_decode_destroy(decoder);
    decoder = nullptr;
}

void userVideo::put_rtp_data(const uint8_t* data, uint64_t length) {
    if (first_packet && codec != VideoCodec::vp8) {
        // The Matroska file opens at the first frame written.
        first_packet = false;
        name = output_path(timeFilename(kExtension, uid));
        mkv = std::make_unique<MatroskaVideo>(name, codec);
        decoder = rtp_payload_decode_create_with(codec_unpacker(codec), &payload_handler, this);
        if (!decoder) output_failure(name, "cannot create the depacketizer", 0);
    }
    if (first_packet) {
        first_packet = false;
        name = output_path(timeFilename(kExtension, uid));
        file = create_output(name, io_buffer);
        // No decoder either: this user's packets are skipped, the other users go on.
        if (!file) return;
        ivf_write_header();
        decoder = rtp_payload_decode_create(&payload_handler, this);
        if (!decoder) output_failure(name, "cannot create the VP8 decoder", 0);
    }
    // No capture record comes near 2 GiB; a longer length cannot be a packet.
    if (!decoder || !data || length > static_cast<uint64_t>(INT_MAX)) return;
    if (gate) gate->packet(data, static_cast<size_t>(length));
    rtp_payload_decode_input(decoder, data, static_cast<int>(length));
}

void userVideo::ivf_write_header() {
    BufferIOWriter writer;
    stream_output_init(&writer, &record);
    all_write(&writer, kSignature, sizeof(kSignature));
    put_wl16(&writer, kVersion);
    put_wl16(&writer, kHeaderSize);
    for (uint8_t byte : kCodecVp8) put_w8(&writer, byte);
    put_wl16(&writer, kWidth);
    put_wl16(&writer, kHeight);
    put_wl32(&writer, kTimeBaseRate);
    put_wl32(&writer, kTimeBaseScale);
    put_wl64(&writer, kUnknownLength);
    write_record();
}

void userVideo::onGotFrame(const uint8_t* frame, int size, uint32_t timestamp) {
    if (size < 0 || (size > 0 && !frame)) return;
    if (mkv) {
        mkv->write(frame, static_cast<size_t>(size), timestamp);
        ++frame_count;
        if (observers && !observers->empty())
            observers->written(uid, {timestamp, 0, frame, static_cast<size_t>(size)});
        return;
    }

    // Runs inside the decoder's callback: nothing may be thrown from here. Only the 12-byte
    // record head is composed; the frame bytes go to the file straight from the decoder's buffer.
    bool composed = true;
    try {
        BufferIOWriter writer;
        stream_output_init(&writer, &record);
        put_wl32(&writer, static_cast<uint32_t>(size));
        put_wl64(&writer, timestamp);
    } catch (...) {
        composed = false;
    }

    // The counters follow the frames delivered, whether or not the disk took them. The 64-bit
    // wrapping sum makes a backwards step count negative, so the sum is always the last timestamp
    // minus the first.
    if (frame_count != 0) delta_sum += static_cast<uint64_t>(timestamp) - last_timestamp;
    last_duration = timestamp + kDurationPad;
    ++frame_count;
    last_timestamp = timestamp;

    if (composed) {
        write_record();
        write_bytes(frame, static_cast<size_t>(size));
    } else {
        report_write_failure(ENOMEM);
    }
    if (observers && !observers->empty())
        observers->written(uid, {timestamp, 0, frame, static_cast<size_t>(size)});
}

void userVideo::ivf_write_trailer() {
    // With fewer than two frames there is no interval to average: the length stays "unknown".
    // After a failed write the frames counted are not the ones on disk: nothing is patched.
    if (!file || write_failed || frame_count < 2) return;

    errno = 0;
    const long resume = ftell(file.get());
    if (resume < 0 || fseek(file.get(), kLengthOffset, SEEK_SET) != 0) {
        report_write_failure(errno);
        return;
    }
    // The frame count times the average interval: the stream's length when the last frame is
    // given one average interval too.
    const uint64_t length = frame_count * delta_sum / (frame_count - 1);
    BufferIOWriter writer;
    stream_output_init(&writer, &record);
    put_wl32(&writer, static_cast<uint32_t>(length));
    put_wl32(&writer, 0);
    write_record();
    errno = 0;
    if (fseek(file.get(), resume, SEEK_SET) != 0) report_write_failure(errno);
}

void userVideo::flush_all() {
    if (mkv) {
        mkv->close();
        // No frame came: no file was made.
        if (!mkv->opened()) name.clear();
        mkv.reset();
        return;
    }
    ivf_write_trailer();
    close_file();
}

void userVideo::close_file() {
    if (!file) return;
    // A file whose write already failed was reported once; its close need not say it again.
    if (write_failed)
        discard_output(file);
    else
        close_output(file, name);
}

void userVideo::write_record() {
    write_bytes(record.content.data(), record.content.size());
}

void userVideo::write_bytes(const uint8_t* data, size_t size) {
    // After the first failure nothing more goes to the file: later records would stand after a
    // hole, out of line with their heads.
    if (!file || write_failed || size == 0) return;
    errno = 0;
    if (fwrite(data, size, 1, file.get()) != 1) report_write_failure(errno);
}

void userVideo::report_write_failure(int err) {
    if (write_failed) return;
    write_failed = true;
    output_failure(name, "cannot write", err);
}
