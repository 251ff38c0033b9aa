// Reads the frames of a pcap or pcapng file and feeds them to a PacketSorter, telling what went
// wrong in words a user can act on.
//
// The reader is our own rather than libpcap's so that a capture is read as far as it can be:
// each pcapng interface with its own link type (a capture on Ethernet and a tunnel at once), each
// section like the first, and past a damaged record or block by finding where the next one starts
// (pcapng repeats a block's length at its end; a pcap record header must hold plausible times and
// lengths). Memory is bounded by the largest frame or block it accepts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "packet_sorter.h"

namespace pcapin {

class CaptureReader;
struct CaptureReaderCloser {
    void operator()(CaptureReader* r) const;
};
using PcapHandle = std::unique_ptr<CaptureReader, CaptureReaderCloser>;

// Opens a file (or, for the fuzz target, a stream: the handle then owns `f`) and reads its header.
// Null with `error` set when it is not a pcap or pcapng file.
PcapHandle open_pcap(const std::string& path, std::string& error);
PcapHandle open_pcap_stream(FILE* f, std::string& error);

// Frames of an interface whose link type is not read, per interface.
struct SkippedInterface {
    uint32_t section;    // 0 for the first section
    uint32_t interface;  // its number in the section
    int link_type;
    uint64_t frames = 0;
};

struct ReadResult {
    bool ok = false;         // false: nothing could be read (message says why)
    bool truncated = false;  // the file ended inside a frame: the frames before it were kept
    std::string message;     // the error, or the reason of the truncation
    // Damage inside the file: each place where reading lost its footing, what was skipped to
    // find the next record, and whether it could not be found (reading stopped there).
    struct Damage {
        uint64_t offset;   // byte offset of the damaged record or block
        uint64_t skipped;  // bytes passed over before the next good one
        std::string what;
    };
    std::vector<Damage> damage;  // the first kMaxDamageNotes places
    uint64_t damaged_places = 0;
    uint64_t skipped_bytes = 0;
    bool stopped = false;  // damage with no good record after it: the rest of the file was lost
    uint64_t stopped_at = 0;
    uint64_t bad_records = 0;  // pcapng packet blocks whose fields contradict their block
    std::vector<SkippedInterface> skipped_interfaces;
    uint32_t sections = 0;  // pcapng only
    bool damaged() const { return damaged_places > 0 || stopped; }
};

constexpr size_t kMaxDamageNotes = 10;

ReadResult read_pcap(CaptureReader* reader, PacketSorter& sorter);

// Human names of the link types read, for messages ("EN10MB", "LINUX_SLL"); numbers otherwise.
std::string link_type_text(int link_type);

}  // namespace pcapin
