// Rebuilds lost video packets from the sender's forward error correction: ULPFEC (RFC 5109)
// inside RED and FlexFEC as libwebrtc sends it, whose headers fec_header.h reads and writes. Mask
// bit i protects SN base + i, and the recovery fields and protection bytes are the XOR over the
// protected packets; with one protected packet missing and every other one at hand, the same XOR
// gives the missing one back (RFC 5109, section 10).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fec_header.h"
#include "input_loans.h"
#include "reorder_window.h"
#include "run_stats.h"
#include "sdp_map.h"

// Finds a media packet by extended sequence number, or returns null when it is not at hand.
using FecLookup = const uint8_t* (*)(void* param, int64_t seq, size_t* size);

// The FEC packets of one user's video stream and the media packets recently released, for
// rebuilding a packet the reorder stage is about to give up.
//
// Use: add_ulpfec() / add_flexfec() with every FEC packet as it arrives; keep() with every media
// packet the reorder stage releases (hook() does both of the stage's parts); recover() for a
// missing number. An FEC packet is kept while a number it protects has not been passed (released
// or given up), so the store holds what can still be used, however densely the sender protects.
// Memory: at most `max_fec` FEC packets (when that many can still be used, the oldest goes; one is
// forgotten once kMaxFecAge media packets have been released after it) and kHistory released
// packets, each at most 65,535 bytes; slots are reused, so nothing is allocated once warm.
//
// Nothing is copied while nothing is lost: an FEC packet whose packets have all been released
// already can rebuild nothing and is not kept, and with `loans` the released packets and the FEC
// packets that lie in the pass's read-ahead are borrowed from there (input_loans.h), and copied
// only when the read-ahead recalls them while they are still kept.
class FecRecovery {
public:
    // Released packets kept: the widest mask reaches 108 numbers back from a missing one.
    static constexpr uint32_t kHistory = 128;
    // Media packets released after an FEC packet arrived beyond which it is forgotten: far more
    // than the widest reorder window and dropout, far less than a wrap of the 16-bit numbers.
    static constexpr uint64_t kMaxFecAge = 16384;
    static constexpr size_t kMaxPacket = kFecMaxPacket;
    // Work on rebuilding (an FEC packet looked at, a packet looked up) is paid from a budget that
    // every released media packet and every FEC packet adds to, so that a capture made to ask
    // for rebuilds without end costs time in proportion to its size, never more; a stream of
    // ordinary losses never comes near it.
    static constexpr uint64_t kWorkPerPacket = 2048;
    static constexpr uint64_t kWorkCap = uint64_t{1} << 20;

    // `stats` (may be null) receives fec_recovered and fec_unrecoverable. `max_fec` bounds the FEC
    // packets held (FecFeed::max_fec_for). `loans` (may be null: every packet kept is copied) must
    // outlive the store.
    FecRecovery(uint32_t max_fec, RepairStats* stats, InputLoans* loans = nullptr);
    ~FecRecovery();
    FecRecovery(const FecRecovery&) = delete;
    FecRecovery& operator=(const FecRecovery&) = delete;

    // Take one FEC packet: the body after the RED block header with the SSRC of the RTP packet
    // that carried it, or a whole FlexFEC RTP packet. False when it was not usable (not kept),
    // or when every packet it protects has been released already.
    bool add_ulpfec(uint32_t media_ssrc, const uint8_t* body, size_t size);
    bool add_flexfec(const uint8_t* packet, size_t size);

    // A media packet released downstream, with its extended sequence number (strictly
    // increasing; a lower one begins a new run and forgets the old packets).
    void keep(int64_t seq, const uint8_t* packet, size_t size);

    // Rebuilds packet `seq` of stream `ssrc` from an FEC packet that protects it and whose other
    // packets are all at hand (through `lookup`, then the kept ones, then one rebuilt on the way).
    // Returns the packet, valid until the next call, or null. A rebuilt packet that does not parse
    // as RTP or whose length recovery does not agree with the protection bytes is dropped and
    // counted as fec_unrecoverable (and its FEC packet forgotten); one handed back counts as
    // fec_recovered.
    const uint8_t* recover(int64_t seq, uint32_t ssrc, FecLookup lookup, void* param, size_t* size);

    // The header extensions the sender rewrote after computing its FEC, by id (the call's SDP):
    // 256 entries, or null (the default) when they are not known. Known, their bytes are taken as
    // zero in every packet XORed, as the sender took them. Not known, the store learns them from
    // groups whose packets all came (see learn()), and a rebuild whose payload would take bytes
    // from an extension not yet learnt is dropped as fec_unrecoverable, since they may have been
    // rewritten.
    void set_extensions(const streams::SdpExt* ext) { ext_ = ext; }

    // The reorder stage's recovery hook bound to this store.
    ReorderWindow::RecoveryHook hook();

    size_t fec_held() const;
    size_t bytes_reserved() const;

private:
    // A packet kept: its bytes are `data` or borrowed from the read-ahead.
    struct Fec {
        std::vector<uint8_t> data;
        const uint8_t* bytes = nullptr;
        size_t size = 0;
        FecHeader header;       // `payload` points into `bytes`
        uint64_t added_at = 0;  // released_ when it came
        uint64_t order = 0;     // the how-manieth FEC packet taken
        bool live = false;
    };
    struct Kept {
        std::vector<uint8_t> data;
        const uint8_t* bytes = nullptr;
        size_t size = 0;
        int64_t seq = -1;
    };
    struct Source {
        FecLookup lookup;
        void* param;
        uint32_t ssrc;
    };
    enum class Rebuilt { none, ok, bad };

    bool add(uint32_t ssrc, const uint8_t* body, size_t size, bool flexfec);
    bool usable(const Fec& fec) const;
    Fec* free_slot();
    void kill(Fec& fec);
    bool released_all(const FecHeader& h) const;
    bool learn(const FecHeader& h, const Source& src, int64_t base);
    bool learn_from_store(const Source& src, int64_t seq);
    // Borrows `size` bytes at `p` when they lie in the read-ahead, or copies them into `data`;
    // null when the copy cannot be made.
    const uint8_t* hold(std::vector<uint8_t>& data, const uint8_t* p, size_t size);
    static void recall(void* self, const uint8_t* begin, const uint8_t* end);
    const uint8_t* find(const Source& src, int64_t seq, size_t* size) const;
    Rebuilt rebuild(const Source& src, int64_t seq, int depth, std::vector<uint8_t>* out);
    bool xor_packet(const FecHeader& h, const Source& src, int64_t seq, uint32_t offset,
                    std::vector<uint8_t>* out, bool* unknown) const;

    const uint32_t max_fec_;
    RepairStats* const stats_;
    InputLoans* const loans_;
    InputLoans::Borrower borrower_;
    const streams::SdpExt* ext_ = nullptr;
    // Without `ext_`: what learn() found out, by extension id.
    static constexpr uint32_t kLearnAttempts = 64;
    uint32_t learn_left_ = kLearnAttempts;
    bool learned_[256] = {};
    streams::SdpExt modes_[256] = {};
    // Slots of FEC packets, made as needed up to max_fec_ and reused; free_ lists those not live.
    static constexpr size_t kFirstSweep = 16;
    std::vector<Fec> fec_;
    std::vector<uint32_t> free_;
    size_t sweep_at_ = kFirstSweep;  // slots in use at which the next sweep runs
    uint32_t live_ = 0;              // FEC packets held
    uint64_t added_ = 0;             // FEC packets taken so far
    uint64_t budget_ = kWorkCap;
    std::unique_ptr<Kept[]> kept_;
    int64_t last_kept_ = -1;
    uint64_t released_ = 0;  // media packets kept so far: the clock of FEC packet ages
    std::vector<uint8_t> out_;
    // A packet rebuilt on the way to another one, handed out when its own number is given up.
    std::vector<uint8_t> spare_;
    int64_t spare_seq_ = -1;
    uint32_t spare_ssrc_ = 0;
};
