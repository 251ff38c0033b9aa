// One user's stream of one kind: the chain of stages its records go through on their way to the
// user's file, built once from the options at the user's first record.
//
//   default:   record ─▶ sniffer (a glance) ─▶ writer
//   --repair:  record ─▶ unwrap (RED, RTX, FEC, probes) ─▶ reorder (+ FEC recovery) ─▶ writer
//
// The video writer holds the depacketizer and, with --repair, the key-frame gate. Observers
// (stream_observer.h) see every record as the pass read it and every frame or packet written.
// The pass only splits records by user; a new stage of a stream is a member here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fec_feed.h"
#include "input_loans.h"
#include "reorder_window.h"
#include "run_stats.h"
#include "stream_observer.h"
#include "stream_unwrap.h"
#include "user_audio.h"
#include "user_video.h"
#include "video_codec.h"

class UserStream {
public:
    // `loans` (may be null) is the pass's read-ahead, which FEC recovery borrows from.
    UserStream(uint32_t uid, bool video, InputLoans* loans);
    ~UserStream();
    UserStream(const UserStream&) = delete;
    UserStream& operator=(const UserStream&) = delete;

    // One video record. It lies in the pass's read-ahead and is read once: the unwrap stage may
    // rewrite it in place.
    void put_video(uint8_t* data, size_t length, const StreamRecord& seen);
    // One audio record; the writer takes it over when it reaches it as it came.
    void put_audio(std::unique_ptr<uint8_t[]> data, size_t length, const StreamRecord& seen);

    // The end of the pass, in this order for all streams: the hint of a default pass, what the
    // stages still hold handed to the writer (the stages go), then the writer closed and its
    // figures put in the run record.
    void print_hint() const;
    void end_stages();
    void close();

    StreamObservers& observers() { return observers_; }
    uint32_t uid() const { return uid_; }

private:
    void put_audio_copy(const uint8_t* packet, size_t size);
    void unwrap_into_writer();
    void push_one(const uint8_t* packet, size_t size);
    bool pass_plain(uint8_t* packet, size_t size);
    void drain_reorder();
    void write(const uint8_t* packet, size_t size);
    void write_video(const uint8_t* packet, size_t size);
    bool audio_converted(const uint8_t* packet, size_t size);
    void decide(VideoCodec codec, const char* seen);
    void say_unconverted() const;

    const uint32_t uid_;
    const bool video_;
    StreamStats& stats_;
    StreamObservers observers_;
    // The writer of the kind; the other stays null.
    std::unique_ptr<userVideo> video_writer_;
    std::unique_ptr<muopus::user_audio> audio_writer_;
    // Repair mode. The FEC feed is declared before the reorder stage, which calls into it, so that
    // it is destroyed after it.
    std::unique_ptr<FecFeed> fec_;
    std::unique_ptr<ReorderWindow> reorder_;
    std::unique_ptr<streams::StreamUnwrap> unwrap_;
    // Default mode: a glance at the stream, to suggest --repair when it holds wrapped packets.
    std::optional<streams::WrapSniffer> sniffer_;
    // Repair mode, video: the codec is told from the first packets the reorder stage releases
    // (or from the SDP's a=rtpmap); until then they are held, at most CodecDetector::kEnough of
    // them and kMaxHeldBytes. The writer is made once the codec is known.
    CodecDetector detector_;
    std::vector<std::vector<uint8_t>> held_;
    size_t held_bytes_ = 0;
    static constexpr size_t kMaxHeldBytes = 8 << 20;
    bool decided_ = false;
    bool unconverted_ = false;  // a codec the converter does not convert: packets only counted
    uint8_t unconverted_pt_ = 0;
    // Default mode, video: the codec told from the packets the sniffer sees, for the hint.
    std::unique_ptr<CodecDetector> sniff_codec_;
    // Audio: the record being handed on, which the writer may take over.
    std::unique_ptr<uint8_t[]> record_;
    size_t record_size_ = 0;
};
