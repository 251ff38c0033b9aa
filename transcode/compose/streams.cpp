#include "streams.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace {

constexpr int64_t kVideoRate = 90000;  // IVF timestamps: the RTP clock of video
constexpr int64_t kAudioRate = 48000;
constexpr int kMaxOpusSamples = 5760;  // 120 ms, the longest Opus packet
// A gap shorter than the smallest Opus frame is rounding, not loss.
constexpr int64_t kMinGapSamples = 120;
// An overlap up to one usual packet is rounding of the placement too; a longer one (a stream
// that runs fast against the recording clock) drops the samples that would land twice.
constexpr int64_t kMaxOverlapSamples = 960;
// Missing packets are concealed by the decoder for at most this long; the rest of a gap (a muted
// microphone, a user who left) is silence.
constexpr int64_t kMaxConcealSamples = 4800;

}  // namespace

VideoStream::Open VideoStream::open(const WebmInput& in, const Placement& place, std::string* why) {
    if (in.path.empty()) return Open::none;
    if (!load_libav_compose()) {
        *why = "cannot load libavcodec";
        return Open::undecodable;
    }
    reader_ = open_video_source(in);
    if (!reader_) {
        // A file this run wrote whole always holds a frame; one that cannot be read back is
        // named, never dropped unsaid.
        if (!in.written_by_run) return Open::none;
        *why = "cannot read its video file";
        return Open::unreadable;
    }
    place_ = place;
    const AVCodec* codec = av.avcodec_find_decoder(reader_->codec_id());
    if (codec == nullptr) {
        *why = std::string("no decoder for ") + av.avcodec_get_name(reader_->codec_id());
        return Open::undecodable;
    }
    decoder_.reset(av.avcodec_alloc_context3(codec));
    packet_.reset(av.av_packet_alloc());
    picture_.reset(av.av_frame_alloc());
    scratch_.reset(av.av_frame_alloc());
    if (!decoder_ || !packet_ || !picture_ || !scratch_) throw std::bad_alloc();
    // The codec setup the container carries (H.264's SPS and PPS, AV1's sequence header).
    const std::vector<uint8_t>& extra = reader_->extradata();
    if (!extra.empty()) {
        decoder_->extradata =
            static_cast<uint8_t*>(av.av_mallocz(extra.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (decoder_->extradata == nullptr) throw std::bad_alloc();
        memcpy(decoder_->extradata, extra.data(), extra.size());
        decoder_->extradata_size = static_cast<int>(extra.size());
    }
    // One thread per decoder and no reordering delay: a picture comes out of the packet that
    // carries it; the users' streams are many and small beside the encoder, which gets the
    // threads.
    decoder_->thread_count = 1;
    decoder_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (av.avcodec_open2(decoder_.get(), codec, nullptr) < 0) {
        *why = std::string("the ") + codec->name + " decoder does not start";
        return Open::undecodable;
    }
    return Open::ok;
}

const char* VideoStream::codec_name() const {
    return reader_ ? av.avcodec_get_name(reader_->codec_id()) : "";
}

int64_t VideoStream::time_of(int64_t pts) const {
    const double media_us = static_cast<double>(pts) * 1e6 / kVideoRate;
    return place_.offset_us + std::llround(media_us / place_.rate);
}

// Takes every picture the decoder has ready; true when there was one.
bool VideoStream::receive(int64_t at) {
    bool decoded = false;
    while (av.avcodec_receive_frame(decoder_.get(), scratch_.get()) >= 0) {
        std::swap(picture_, scratch_);
        av.av_frame_unref(scratch_.get());
        decoded = true;
    }
    if (decoded) {
        if (!have_picture_) first_us_ = at;
        have_picture_ = true;
        ++serial_;
    }
    return decoded;
}

const AVFrame* VideoStream::picture_at(int64_t t_us) {
    while (reader_->have() && time_of(reader_->current().pts) <= t_us) {
        webm_read::SourcePacket& frame = reader_->current();
        const int64_t at = time_of(frame.pts);
        packet_->data = frame.data.data();
        packet_->size = static_cast<int>(frame.data.size());
        packet_->pts = frame.pts;
        packet_->flags = frame.key ? AV_PKT_FLAG_KEY : 0;
        // A frame that does not decode (one lost in transit broke its references) leaves the
        // previous picture.
        if (av.avcodec_send_packet(decoder_.get(), packet_.get()) < 0 || !receive(at)) ++errors_;
        // The camera counts as on while frames arrive, decoded or not.
        if (have_picture_) last_us_ = at;
        if (!reader_->advance() && !flushed_) {
            // A decoder that still holds a picture gives it up at the end of the stream.
            flushed_ = true;
            if (av.avcodec_send_packet(decoder_.get(), nullptr) >= 0 && receive(at)) last_us_ = at;
        }
    }
    return have_picture_ ? picture_.get() : nullptr;
}

bool AudioStream::open(const WebmInput& in, const Placement& place) {
    if (!reader_.open(in)) return false;
    place_ = place;
    int error = 0;
    decoder_.reset(opus_decoder_create(kAudioRate, kChannels, &error));
    return decoder_ && error == OPUS_OK;
}

void AudioStream::append_concealment(int64_t samples) {
    float pcm[kMaxOpusSamples * kChannels];
    while (samples >= kMinGapSamples) {
        const int want =
            static_cast<int>(std::min<int64_t>(samples, 960) / kMinGapSamples * kMinGapSamples);
        const int n = opus_decode_float(decoder_.get(), nullptr, 0, pcm, want, 0);
        if (n <= 0) break;
        buffer_.insert(buffer_.end(), pcm, pcm + n * kChannels);
        concealed_ += static_cast<uint64_t>(n);
        samples -= n;
    }
    buffer_.insert(buffer_.end(), static_cast<size_t>(samples) * kChannels, 0.0f);
}

void AudioStream::read(int64_t pos, int count, float* out) {
    const int64_t target = pos + count;
    const int64_t offset = place_.offset_us * kAudioRate / 1000000;
    float pcm[kMaxOpusSamples * kChannels];
    auto end = [this] { return buffer_pos_ + static_cast<int64_t>(buffer_.size() / kChannels); };
    while (reader_.have() && (!started_ || end() < target)) {
        webm_read::SourcePacket& packet = reader_.current();
        const int64_t at = offset + std::llround(static_cast<double>(packet.pts) / place_.rate);
        if (!started_) {
            if (at >= target) break;
            started_ = true;
            buffer_pos_ = at;
            skip_ = reader_.pre_skip();
        }
        const int64_t gap = at - end();
        if (gap >= kMinGapSamples) {
            // Only as far as this read needs: a long pause costs no memory.
            const int64_t fill = std::min(gap, target - end());
            const int64_t conceal =
                std::max<int64_t>(0, std::min(fill, kMaxConcealSamples - gap_filled_));
            append_concealment(conceal);
            buffer_.insert(buffer_.end(), static_cast<size_t>(fill - conceal) * kChannels, 0.0f);
            gap_filled_ += fill;
            continue;
        }
        gap_filled_ = 0;
        int n =
            opus_decode_float(decoder_.get(), packet.data.data(),
                              static_cast<opus_int32>(packet.data.size()), pcm, kMaxOpusSamples, 0);
        if (n < 0) {
            // A packet libopus refuses is concealed for the time it claims.
            append_concealment(packet.duration);
            n = 0;
        }
        int first = 0;
        if (skip_ > 0) {
            first = static_cast<int>(std::min<int64_t>(skip_, n));
            skip_ -= first;
            if (buffer_.empty()) buffer_pos_ += first;
        }
        const int64_t overlap = end() - at;
        if (overlap > kMaxOverlapSamples)
            first = std::max(first, static_cast<int>(std::min<int64_t>(overlap, n)));
        buffer_.insert(buffer_.end(), pcm + first * kChannels, pcm + n * kChannels);
        reader_.advance();
    }
    // Copy out [pos, target), silence outside the buffer, and forget what is read.
    for (int64_t i = pos; i < target; ++i) {
        float* o = out + (i - pos) * kChannels;
        const int64_t k = i - buffer_pos_;
        if (started_ && k >= 0 && k < static_cast<int64_t>(buffer_.size() / kChannels)) {
            o[0] = buffer_[static_cast<size_t>(k) * kChannels];
            o[1] = buffer_[static_cast<size_t>(k) * kChannels + 1];
        } else {
            o[0] = o[1] = 0.0f;
        }
    }
    if (started_) {
        const int64_t drop = std::min<int64_t>(std::max<int64_t>(target - buffer_pos_, 0),
                                               static_cast<int64_t>(buffer_.size() / kChannels));
        buffer_.erase(buffer_.begin(), buffer_.begin() + drop * kChannels);
        buffer_pos_ += drop;
        if (buffer_.empty() && buffer_pos_ < target) buffer_pos_ = target;
    }
}
