// Feeds the frames of a pcap or pcapng file, opened with libpcap, to a PacketSorter, and tells
// what went wrong in words a user can act on.
#pragma once

#include <pcap/pcap.h>

#include <cstdio>
#include <memory>
#include <string>

#include "packet_sorter.h"

namespace pcapin {

// Closes the capture, then frees the stdio buffer its FILE read through (held here so that it
// outlives the FILE).
struct PcapCloser {
    std::unique_ptr<char[]> buffer;
    void operator()(pcap_t* p) const {
        if (p) pcap_close(p);
    }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

// Opens a file (or, for the fuzz target, a stream: the handle then owns `f`) with capture times
// in microseconds. Null with `error` set when it is not a capture libpcap reads.
PcapHandle open_pcap(const std::string& path, std::string& error);
PcapHandle open_pcap_stream(FILE* f, std::string& error);

struct ReadResult {
    bool ok = false;         // false: nothing could be read (error says why)
    bool truncated = false;  // the file ended inside a frame: the frames before it were kept
    std::string message;     // the error, or the reason of the truncation
};

ReadResult read_pcap(pcap_t* pcap, PacketSorter& sorter);

}  // namespace pcapin
