// One captured link-layer frame taken apart down to its UDP (or TCP) payload.
//
// The parser reads only the bytes the capture holds (`caplen`); `wirelen` tells whether the
// capture's snapshot length cut the frame. Every field of the result is set on every call, so a
// caller that looks only at `status` never reads stale data.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pcapin {

// Link types as libpcap's pcap_datalink() reports them (DLT_ values).
enum LinkType : int {
    kLinkNull = 0,       // BSD loopback: 4-byte address family in the capturing host's byte order
    kLinkEthernet = 1,   // Ethernet II, with any number of 802.1Q / 802.1ad tags
    kLinkRaw = 12,       // raw IP (Linux and most systems)
    kLinkRawBsd = 14,    // raw IP (OpenBSD's number)
    kLinkRawPcap = 101,  // LINKTYPE_RAW, as some files store it
    kLinkLoop = 108,     // OpenBSD loopback: address family in network byte order
    kLinkLinuxSll = 113,
    kLinkIpv4 = 228,
    kLinkIpv6 = 229,
    kLinkNflog = 239,  // Linux netfilter log (tcpdump -i nflog:N): TLVs around the IP packet
    kLinkLinuxSll2 = 276,
};

bool link_type_supported(int link_type);

enum class FrameStatus {
    ok,         // a UDP datagram or TCP segment; `payload` holds its data
    not_ip,     // ARP, LLC, an unknown address family: not for us
    other_ip,   // IPv4/IPv6 carrying neither UDP nor TCP
    cut,        // the snapshot length cut the frame inside what we need
    fragment,   // an IP fragment: its datagram is not reassembled
    malformed,  // lengths that contradict each other or the bytes captured
};

struct FrameInfo {
    FrameStatus status;
    uint8_t protocol;  // 17 UDP, 6 TCP
    bool ipv6;
    uint8_t src[16];  // IPv4 addresses use the first 4 bytes; the rest are zero
    uint8_t dst[16];
    uint16_t src_port;
    uint16_t dst_port;
    uint32_t tcp_seq;
    uint8_t tcp_flags;
    const uint8_t* payload;  // points into the caller's frame
    size_t payload_len;
};

constexpr uint8_t kProtoTcp = 6;
constexpr uint8_t kProtoUdp = 17;
constexpr uint8_t kTcpSyn = 0x02;

// Takes a frame of `link_type` apart. `caplen` bytes are readable at `data`; `wirelen` is the
// frame's length on the wire (at least caplen when the capture tells the truth).
FrameInfo parse_frame(int link_type, const uint8_t* data, size_t caplen, size_t wirelen);

}  // namespace pcapin
