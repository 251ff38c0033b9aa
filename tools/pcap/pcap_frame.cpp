#include "pcap_frame.h"

#include <cstring>

#include "byte_order.h"

namespace pcapin {
namespace {

constexpr uint16_t kEtherIpv4 = 0x0800;
constexpr uint16_t kEtherIpv6 = 0x86DD;
constexpr uint16_t kEtherVlan = 0x8100;
constexpr uint16_t kEtherQinQ = 0x88A8;
constexpr uint16_t kEtherQinQOld = 0x9100;
constexpr size_t kEtherHeader = 14;
constexpr size_t kVlanTag = 4;
constexpr size_t kSllHeader = 16;   // ... protocol at offset 14
constexpr size_t kSll2Header = 20;  // protocol at offset 0
constexpr size_t kNullHeader = 4;
// NFLOG: a 4-byte header (address family, version, resource id), then TLVs of a 16-bit length
// (header included) and a 16-bit type, in the capturing host's byte order, each padded to 4 bytes.
// Type 9 (NFULA_PAYLOAD) holds the IP packet.
constexpr size_t kNflogHeader = 4;
constexpr uint16_t kNflogPayload = 9;
constexpr uint16_t kNflogTypeMask = 0x7FFF;  // the top bit marks nested attributes

// Address families of the loopback header: AF_INET is 2 everywhere, AF_INET6 differs by system
// (Linux 10, the BSDs 24, 28 and 30).
bool family_is_ipv4(uint32_t af) {
    return af == 2;
}
bool family_is_ipv6(uint32_t af) {
    return af == 10 || af == 24 || af == 28 || af == 30;
}

constexpr uint16_t kIpv4MoreFragments = 0x2000;
constexpr uint16_t kIpv4OffsetMask = 0x1FFF;
constexpr size_t kIpv6Header = 40;
constexpr uint8_t kIpv6HopByHop = 0, kIpv6Routing = 43, kIpv6Fragment = 44, kIpv6Auth = 51,
                  kIpv6DestOpts = 60;
constexpr size_t kUdpHeader = 8;
constexpr size_t kTcpMinHeader = 20;

struct Parser {
    FrameInfo& out;
    bool was_cut;  // the capture holds fewer bytes than the wire carried

    // A length field asks for more than was captured: the snapshot length is to blame when the
    // frame was cut, the sender (or a corrupt file) otherwise.
    void short_of_bytes() { out.status = was_cut ? FrameStatus::cut : FrameStatus::malformed; }

    void transport(uint8_t protocol, const uint8_t* p, size_t n) {
        out.protocol = protocol;
        if (protocol == kProtoUdp) {
            if (n < kUdpHeader) return short_of_bytes();
            const size_t udp_len = be16(p + 4);
            if (udp_len < kUdpHeader) {
                out.status = FrameStatus::malformed;
                return;
            }
            if (udp_len > n) return short_of_bytes();
            out.src_port = be16(p);
            out.dst_port = be16(p + 2);
            out.payload = p + kUdpHeader;
            out.payload_len = udp_len - kUdpHeader;
            out.status = FrameStatus::ok;
        } else if (protocol == kProtoTcp) {
            if (n < kTcpMinHeader) return short_of_bytes();
            const size_t header = static_cast<size_t>(p[12] >> 4) * 4;
            if (header < kTcpMinHeader) {
                out.status = FrameStatus::malformed;
                return;
            }
            if (header > n) return short_of_bytes();
            out.src_port = be16(p);
            out.dst_port = be16(p + 2);
            out.tcp_seq = be32(p + 4);
            out.tcp_flags = p[13];
            out.payload = p + header;
            out.payload_len = n - header;
            out.status = FrameStatus::ok;
        } else {
            out.status = FrameStatus::other_ip;
        }
    }

    // `n` bytes captured from the IPv4 header on.
    void ipv4(const uint8_t* p, size_t n) {
        if (n < 20) return short_of_bytes();
        const size_t header = static_cast<size_t>(p[0] & 0x0F) * 4;
        const size_t total = be16(p + 2);
        if ((p[0] >> 4) != 4 || header < 20 || total < header) {
            out.status = FrameStatus::malformed;
            return;
        }
        // A cut frame still shows whether it was a fragment; say that rather than "cut".
        const uint16_t frag = be16(p + 6);
        if ((frag & kIpv4MoreFragments) || (frag & kIpv4OffsetMask)) {
            out.status = FrameStatus::fragment;
            return;
        }
        if (total > n) return short_of_bytes();
        memcpy(out.src, p + 12, 4);
        memcpy(out.dst, p + 16, 4);
        // Bytes after `total` are link-layer padding (short Ethernet frames).
        transport(p[9], p + header, total - header);
    }

    void ipv6(const uint8_t* p, size_t n) {
        if (n < kIpv6Header) return short_of_bytes();
        if ((p[0] >> 4) != 6) {
            out.status = FrameStatus::malformed;
            return;
        }
        out.ipv6 = true;
        size_t payload = be16(p + 4);
        if (payload == 0) payload = n - kIpv6Header;  // a jumbogram: the frame says how long
        if (payload > n - kIpv6Header) return short_of_bytes();
        memcpy(out.src, p + 8, 16);
        memcpy(out.dst, p + 24, 16);
        uint8_t next = p[6];
        const uint8_t* q = p + kIpv6Header;
        size_t left = payload;
        for (;;) {
            if (next == kIpv6Fragment) {
                out.status = FrameStatus::fragment;
                return;
            }
            if (next != kIpv6HopByHop && next != kIpv6Routing && next != kIpv6DestOpts &&
                next != kIpv6Auth)
                break;
            if (left < 2) return short_of_bytes();
            const size_t ext = next == kIpv6Auth ? (static_cast<size_t>(q[1]) + 2) * 4
                                                 : (static_cast<size_t>(q[1]) + 1) * 8;
            if (ext > left) return short_of_bytes();
            next = q[0];
            q += ext;
            left -= ext;
        }
        transport(next, q, left);
    }

    void ip_by_version(const uint8_t* p, size_t n) {
        if (n < 1) return short_of_bytes();
        if ((p[0] >> 4) == 4)
            ipv4(p, n);
        else if ((p[0] >> 4) == 6)
            ipv6(p, n);
        else
            out.status = FrameStatus::not_ip;
    }

    void ether_type(uint16_t type, const uint8_t* p, size_t n) {
        if (type == kEtherIpv4)
            ipv4(p, n);
        else if (type == kEtherIpv6)
            ipv6(p, n);
        else
            out.status = FrameStatus::not_ip;
    }

    void ethernet(const uint8_t* p, size_t n) {
        if (n < kEtherHeader) return short_of_bytes();
        size_t at = 12;
        uint16_t type = be16(p + at);
        while (type == kEtherVlan || type == kEtherQinQ || type == kEtherQinQOld) {
            at += kVlanTag;
            if (n < at + 2) return short_of_bytes();
            type = be16(p + at);
        }
        at += 2;
        ether_type(type, p + at, n - at);
    }

    void nflog(const uint8_t* p, size_t n) {
        if (n < kNflogHeader) return short_of_bytes();
        const uint8_t family = p[0];
        // The byte order is the capturing host's: the one in which the first TLV makes sense
        // (a length that fits, a small type), little-endian when both do.
        bool big = false;
        if (n >= kNflogHeader + 4) {
            const uint8_t* t = p + kNflogHeader;
            const size_t le_len = static_cast<size_t>(t[0] | t[1] << 8);
            const uint16_t le_type = static_cast<uint16_t>(t[2] | t[3] << 8) & kNflogTypeMask;
            big = !(le_len >= 4 && le_len <= n - kNflogHeader && le_type < 256);
        }
        size_t at = kNflogHeader;
        while (n - at >= 4) {
            const uint8_t* t = p + at;
            const size_t len = big ? be16(t) : static_cast<size_t>(t[0] | t[1] << 8);
            const uint16_t type =
                (big ? be16(t + 2) : static_cast<uint16_t>(t[2] | t[3] << 8)) & kNflogTypeMask;
            if (len < 4) {
                out.status = FrameStatus::malformed;
                return;
            }
            if (len > n - at) return short_of_bytes();
            if (type == kNflogPayload) {
                if (family_is_ipv4(family))
                    ipv4(t + 4, len - 4);
                else if (family == 10)
                    ipv6(t + 4, len - 4);
                else
                    ip_by_version(t + 4, len - 4);
                return;
            }
            at += (len + 3) & ~size_t{3};
            if (at > n) break;
        }
        // No payload: a log entry without the packet (or one cut before it).
        if (was_cut) short_of_bytes();
    }

    void loopback(const uint8_t* p, size_t n, bool network_order) {
        if (n < kNullHeader) return short_of_bytes();
        // DLT_NULL holds the family in the byte order of the host that captured; families are
        // small numbers, so whichever order gives one is the right one.
        uint32_t af = network_order ? be32(p) : le32(p);
        if (!network_order && af > 0xFFFF) af = be32(p);
        if (family_is_ipv4(af))
            ipv4(p + kNullHeader, n - kNullHeader);
        else if (family_is_ipv6(af))
            ipv6(p + kNullHeader, n - kNullHeader);
        else
            out.status = FrameStatus::not_ip;
    }
};

}  // namespace

bool link_type_supported(int link_type) {
    switch (link_type) {
        case kLinkNull:
        case kLinkEthernet:
        case kLinkRaw:
        case kLinkRawBsd:
        case kLinkRawPcap:
        case kLinkLoop:
        case kLinkLinuxSll:
        case kLinkIpv4:
        case kLinkIpv6:
        case kLinkLinuxSll2:
        case kLinkNflog:
            return true;
        default:
            return false;
    }
}

FrameInfo parse_frame(int link_type, const uint8_t* data, size_t caplen, size_t wirelen) {
    FrameInfo out;
    memset(&out, 0, sizeof out);
    out.status = FrameStatus::not_ip;
    Parser parser{out, caplen < wirelen};
    switch (link_type) {
        case kLinkEthernet:
            parser.ethernet(data, caplen);
            break;
        case kLinkLinuxSll:
            if (caplen < kSllHeader) {
                parser.short_of_bytes();
                break;
            }
            parser.ether_type(be16(data + 14), data + kSllHeader, caplen - kSllHeader);
            break;
        case kLinkLinuxSll2:
            if (caplen < kSll2Header) {
                parser.short_of_bytes();
                break;
            }
            parser.ether_type(be16(data), data + kSll2Header, caplen - kSll2Header);
            break;
        case kLinkRaw:
        case kLinkRawBsd:
        case kLinkRawPcap:
            parser.ip_by_version(data, caplen);
            break;
        case kLinkIpv4:
            parser.ipv4(data, caplen);
            break;
        case kLinkIpv6:
            parser.ipv6(data, caplen);
            break;
        case kLinkNull:
            parser.loopback(data, caplen, false);
            break;
        case kLinkLoop:
            parser.loopback(data, caplen, true);
            break;
        case kLinkNflog:
            parser.nflog(data, caplen);
            break;
        default:
            break;
    }
    if (out.status != FrameStatus::ok) {
        out.payload = nullptr;
        out.payload_len = 0;
    }
    return out;
}

}  // namespace pcapin
