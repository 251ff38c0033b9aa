// transcode-pcap's reader on arbitrary bytes: the file reader (pcap and pcapng, interfaces of
// several link types, sections, finding the next record after damage), the link-layer, IP, UDP and
// TCP parsers, RFC 4571 reassembly, the demultiplexing and the waiting queue. Records go to a sink
// that checks them and keeps nothing.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "fuzz_support.h"
#include "packet_sorter.h"
#include "pcap_input.h"

namespace {

void check_record(void*, int kind, uint64_t, uint32_t, const uint8_t* packet, size_t len) {
    FUZZ_CHECK(kind == pcapin::kVideo || kind == pcapin::kAudio);
    FUZZ_CHECK(len >= 12 && len <= 65535 && (packet[0] >> 6) == 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (f == nullptr) return 0;
    std::string error;
    pcapin::PcapHandle pcap = pcapin::open_pcap_stream(f, error);  // owns f from here
    if (!pcap) return 0;
    pcapin::SortOptions options;
    options.tcp = true;
    // Small bounds, so that short inputs reach the decisions the bounds force.
    options.clock_span_us = 20000;
    options.max_wait_us = 50000;
    options.max_queue_bytes = 4096;
    options.max_streams = 64;
    options.users = {{0x11223344u, 9}};
    pcapin::PacketSorter sorter(options, pcapin::RecordSink{nullptr, check_record});
    pcapin::read_pcap(pcap.get(), sorter);
    // Every packet taken into a stream came out exactly once, whatever decided its kind.
    uint64_t taken = 0;
    for (const auto& s : sorter.streams()) taken += s->packets;
    FUZZ_CHECK(taken == sorter.counts().rtp);
    FUZZ_CHECK(sorter.streams().size() <= options.max_streams);
    return 0;
}
