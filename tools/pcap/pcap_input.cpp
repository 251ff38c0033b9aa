#include "pcap_input.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace pcapin {

PcapHandle open_pcap(const std::string& path, std::string& error) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = path + ": " + strerror(errno);
        return nullptr;
    }
    // libpcap reads a header and a frame per call; a large buffer makes that a read(2) a MiB.
    // glibc ignores the size of a buffer it is to allocate itself (it takes the block size, 4 KiB),
    // so the buffer is ours.
    constexpr size_t kReadBuffer = size_t{1} << 20;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kReadBuffer]);
    if (buffer) setvbuf(f, buffer.get(), _IOFBF, kReadBuffer);
    PcapHandle p = open_pcap_stream(f, error);
    if (p) p.get_deleter().buffer = std::move(buffer);
    return p;
}

PcapHandle open_pcap_stream(FILE* f, std::string& error) {
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    PcapHandle p(pcap_fopen_offline_with_tstamp_precision(f, PCAP_TSTAMP_PRECISION_MICRO, errbuf));
    if (!p) {
        error = errbuf;
        fclose(f);
    }
    return p;
}

ReadResult read_pcap(pcap_t* pcap, PacketSorter& sorter) {
    ReadResult r;
    const int link_type = pcap_datalink(pcap);
    if (!link_type_supported(link_type)) {
        const char* name = pcap_datalink_val_to_name(link_type);
        r.message = "link type " + std::to_string(link_type) + " (" + (name ? name : "unknown") +
                    ") is not supported; supported are Ethernet, Linux cooked (SLL, SLL2), raw "
                    "IP and BSD loopback";
        return r;
    }
    r.ok = true;
    struct pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    for (;;) {
        const int got = pcap_next_ex(pcap, &header, &data);
        if (got == PCAP_ERROR_BREAK) break;  // end of file
        if (got != 1) {
            r.truncated = true;
            r.message = pcap_geterr(pcap);
            break;
        }
        const int64_t sec = header->ts.tv_sec;
        const int64_t usec = header->ts.tv_usec;
        const uint64_t time_us =
            sec < 0 ? 0 : static_cast<uint64_t>(sec) * 1000000 + static_cast<uint64_t>(usec);
        sorter.frame(link_type, time_us, data, header->caplen, header->len);
    }
    sorter.finish();
    return r;
}

}  // namespace pcapin
