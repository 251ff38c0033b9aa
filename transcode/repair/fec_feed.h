// Wires FEC recovery into one user's video stream (repair mode): the unwrap stage offers each FEC
// packet as captured; the first one makes a FecRecovery and binds it to the reorder stage, so a
// stream without FEC pays nothing. ULPFEC arrives inside RED on the media SSRC and is stripped of
// its RTP and RED headers here; FlexFEC is handed on whole.
//
// Ownership: the feed owns the FecRecovery and must outlive the reorder stage it was bound to (the
// stage calls into it until it is destroyed). Memory is the FecRecovery's (fec_recovery.h).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fec_recovery.h"
#include "reorder_window.h"
#include "run_stats.h"
#include "stream_unwrap.h"

class FecFeed {
public:
    // `stage`, `stats` (may be null) and `loans` (may be null: FEC recovery then copies what it
    // keeps) must outlive the feed's use of them.
    FecFeed(ReorderWindow* stage, RepairStats* stats, InputLoans* loans = nullptr);

    // The call's header extension map (256 entries, from --sdp; see FecRecovery::set_extensions).
    void set_extensions(const streams::SdpExt* ext) { ext_ = ext; }
    ~FecFeed();
    FecFeed(const FecFeed&) = delete;
    FecFeed& operator=(const FecFeed&) = delete;

    // The unwrap stage's hook, bound to this feed.
    streams::FecHook hook();
    // One FEC packet as captured (the unwrap stage's hook calls this).
    void take(const uint8_t* packet, size_t size, uint32_t media_ssrc, bool flexfec);

    // Null until the first FEC packet came.
    const FecRecovery* recovery() const { return fec_.get(); }

    // The most FEC packets kept for a reorder window of `window` packets. The store keeps an FEC
    // packet while a number it protects may still be given up, which the stage does about a window
    // after the number: Chromium sends up to about 0.65 FEC packets per media packet, and its
    // groups reach up to 108 numbers back, so twice the window and the widest group hold every one
    // that can still be used. The bound is for a capture that sends FEC packets without end.
    static uint32_t max_fec_for(uint32_t window) {
        return 2 * std::min<uint32_t>(window, 1u << 20) + FecRecovery::kHistory;
    }

private:
    ReorderWindow* const stage_;
    RepairStats* const stats_;
    InputLoans* const loans_;
    const streams::SdpExt* ext_ = nullptr;
    std::unique_ptr<FecRecovery> fec_;
};

// The ULPFEC body inside a RED-wrapped RTP packet: the primary block after its one-byte header.
// False when the packet is not RTP or its RED block headers do not add up to its payload.
bool ulpfec_body_of(const uint8_t* packet, size_t size, const uint8_t** body, size_t* body_size);
