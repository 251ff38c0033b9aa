#include "pcap_input.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pcapin {
namespace {

constexpr uint32_t kPcapMagicMicro = 0xA1B2C3D4;
constexpr uint32_t kPcapMagicNano = 0xA1B23C4D;
constexpr uint32_t kBlockSection = 0x0A0D0D0A;  // the same in either byte order
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint32_t kBlockInterface = 1, kBlockPacket = 2, kBlockSimple = 3, kBlockNames = 4,
                   kBlockStatistics = 5, kBlockEnhanced = 6, kBlockSecrets = 10,
                   kBlockCustom = 0x00000BAD, kBlockCustomNoCopy = 0x40000BAD;
constexpr size_t kPcapFileHeader = 24, kPcapRecordHeader = 16;
constexpr size_t kMinBlock = 12;  // type, length, length again
// libpcap's bounds: the largest snapshot length it writes and the largest block it reads. A
// record or block that claims more is damage, not data.
constexpr size_t kMaxFrame = 262144;
constexpr size_t kMaxBlock = 16u << 20;
constexpr size_t kReadChunk = 1u << 20;
// While looking for the next good pcap record after damage, a candidate must lie within a day of
// the last good one: bytes of packet data that happen to look like a header rarely do.
constexpr int64_t kResyncWindowS = 86400;
constexpr size_t kMaxInterfaces = 65536;  // per section; packets on further ones are bad records
constexpr size_t kMaxSkippedInterfaceNotes = 64;
constexpr uint16_t kOptEnd = 0, kOptTsResol = 9, kOptTsOffset = 14;

uint32_t swap32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

// The file's bytes through a window that holds at least what the current record needs.
class Source {
public:
    explicit Source(FILE* f) : f_(f) {}
    ~Source() {
        if (f_) fclose(f_);
    }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    // Makes `n` bytes readable at data(); returns how many are (fewer only at the end of the file).
    size_t fill(size_t n) {
        if (end_ - pos_ >= n) return n;
        if (pos_ > 0) {
            memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
            end_ -= pos_;
            pos_ = 0;
        }
        if (buf_.size() < n) buf_.resize(std::max(n, kReadChunk));
        while (end_ < n && !eof_) {
            const size_t got = fread(buf_.data() + end_, 1, buf_.size() - end_, f_);
            if (got == 0) {
                eof_ = true;
                error_ = ferror(f_) != 0;
            }
            end_ += got;
        }
        return std::min(n, end_);
    }
    const uint8_t* data() const { return buf_.data() + pos_; }
    void skip(size_t n) {
        pos_ += n;
        offset_ += n;
    }
    uint64_t offset() const { return offset_; }
    bool read_error() const { return error_; }

private:
    FILE* f_;
    std::vector<uint8_t> buf_;
    size_t pos_ = 0, end_ = 0;
    uint64_t offset_ = 0;
    bool eof_ = false, error_ = false;
};

struct Interface {
    int link_type;
    bool supported;
    bool power_of_two;  // if_tsresol: units of 2^-resolution s, else 10^-resolution s
    uint8_t resolution;
    int64_t offset_s;  // if_tsoffset
    uint32_t snaplen;
    size_t note;  // index into ReadResult::skipped_interfaces, or npos
};

constexpr size_t kNoNote = static_cast<size_t>(-1);

uint64_t to_micros(uint64_t ts, const Interface& i) {
    unsigned __int128 units = 1;
    if (i.power_of_two)
        units <<= std::min<int>(i.resolution, 127);
    else
        for (int k = 0; k < std::min<int>(i.resolution, 38); ++k) units *= 10;
    const unsigned __int128 us = static_cast<unsigned __int128>(ts) * 1000000 / units;
    const __int128 shifted = static_cast<__int128>(std::min<unsigned __int128>(us, UINT64_MAX)) +
                             static_cast<__int128>(i.offset_s) * 1000000;
    return shifted < 0 ? 0 : shifted > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(shifted);
}

std::string at_offset(uint64_t offset) {
    return "byte " + std::to_string(offset);
}

}  // namespace

class CaptureReader {
public:
    explicit CaptureReader(FILE* f) : src(f) {}

    bool open(std::string& error);
    void read(PacketSorter& sorter, ReadResult& r);

private:
    uint32_t u32(const uint8_t* p) const {
        uint32_t v;
        memcpy(&v, p, 4);
        return swapped ? swap32(v) : v;
    }
    uint16_t u16(const uint8_t* p) const {
        uint16_t v;
        memcpy(&v, p, 2);
        return swapped ? static_cast<uint16_t>(v >> 8 | v << 8) : v;
    }

    // pcap
    void read_pcap(PacketSorter& sorter, ReadResult& r);
    bool record_plausible(const uint8_t* p, bool strict) const;
    bool find_record(ReadResult& r, uint64_t bad_offset, const std::string& what);
    // pcapng
    void read_pcapng(PacketSorter& sorter, ReadResult& r);
    bool block_at(const uint8_t* p, size_t avail, bool& order_swapped, uint32_t& len) const;
    bool find_block(ReadResult& r, uint64_t bad_offset, const std::string& what);
    void section(ReadResult& r);
    void interface(const uint8_t* p, uint32_t len, ReadResult& r);
    void packet(PacketSorter& sorter, ReadResult& r, uint32_t iface, uint64_t ts,
                const uint8_t* data, uint32_t caplen, uint32_t wirelen, bool has_time);

    // Damage with nothing good after it: either a file cut short (`short_of_bytes`) or a stop.
    void lost(ReadResult& r, uint64_t offset, const std::string& what, bool short_of_bytes);
    void note_damage(ReadResult& r, uint64_t offset, uint64_t skipped, const std::string& what);

public:
    Source src;
    bool ng = false;
    bool swapped = false;
    bool nanos = false;
    int link_type = 0;
    bool have_last = false;
    int64_t last_sec = 0;
    std::vector<Interface> interfaces;
    bool any_supported = false;
};

void CaptureReaderCloser::operator()(CaptureReader* r) const {
    delete r;
}

std::string link_type_text(int link_type) {
    const char* name = pcap_datalink_val_to_name(link_type);
    return name ? std::to_string(link_type) + " (" + name + ")" : std::to_string(link_type);
}

PcapHandle open_pcap(const std::string& path, std::string& error) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = path + ": " + strerror(errno);
        return nullptr;
    }
    return open_pcap_stream(f, error);
}

PcapHandle open_pcap_stream(FILE* f, std::string& error) {
    // The reader reads a MiB at a time into a window of its own.
    setvbuf(f, nullptr, _IONBF, 0);
    PcapHandle h(new CaptureReader(f));
    if (!h->open(error)) return nullptr;
    return h;
}

bool CaptureReader::open(std::string& error) {
    const size_t got = src.fill(kPcapFileHeader);
    if (src.read_error()) {
        error = "cannot read it";
        return false;
    }
    if (got < 4) {
        error = "unknown file format: " + std::to_string(got) + " bytes, too short for a capture";
        return false;
    }
    const uint8_t* p = src.data();
    uint32_t magic;
    memcpy(&magic, p, 4);
    if (magic == kBlockSection) {
        if (got < 12) {
            error = "truncated pcapng section header";
            return false;
        }
        uint32_t bom;
        memcpy(&bom, p + 8, 4);
        if (bom != kByteOrderMagic && swap32(bom) != kByteOrderMagic) {
            error = "unknown file format: a pcapng section header without its byte-order magic";
            return false;
        }
        ng = true;
        swapped = bom != kByteOrderMagic;
        return true;
    }
    if (magic == kPcapMagicMicro || magic == kPcapMagicNano || swap32(magic) == kPcapMagicMicro ||
        swap32(magic) == kPcapMagicNano) {
        if (got < kPcapFileHeader) {
            error = "truncated pcap file header";
            return false;
        }
        swapped = magic != kPcapMagicMicro && magic != kPcapMagicNano;
        nanos = u32(p) == kPcapMagicNano;
        // The upper bits of the link-type field carry FCS information.
        link_type = static_cast<int>(u32(p + 20) & 0x03FFFFFF);
        src.skip(kPcapFileHeader);
        return true;
    }
    error = "unknown file format: neither pcap nor pcapng";
    return false;
}

void CaptureReader::note_damage(ReadResult& r, uint64_t offset, uint64_t skipped,
                                const std::string& what) {
    ++r.damaged_places;
    r.skipped_bytes += skipped;
    if (r.damage.size() < kMaxDamageNotes) r.damage.push_back({offset, skipped, what});
}

void CaptureReader::lost(ReadResult& r, uint64_t offset, const std::string& what,
                         bool short_of_bytes) {
    if (short_of_bytes) {
        r.truncated = true;
        r.message = "truncated: " + what;
        return;
    }
    r.stopped = true;
    r.stopped_at = offset;
    r.message = what;
}

ReadResult read_pcap(CaptureReader* reader, PacketSorter& sorter) {
    ReadResult r;
    reader->read(sorter, r);
    sorter.finish();
    return r;
}

void CaptureReader::read(PacketSorter& sorter, ReadResult& r) {
    if (ng) {
        read_pcapng(sorter, r);
        if (!any_supported && !r.skipped_interfaces.empty()) {
            r.ok = false;
            r.message = "link type " + link_type_text(r.skipped_interfaces.front().link_type) +
                        " is not supported; supported are Ethernet, Linux cooked (SLL, SLL2), "
                        "raw IP, BSD loopback and NFLOG";
        }
        return;
    }
    if (!link_type_supported(link_type)) {
        r.message = "link type " + link_type_text(link_type) +
                    " is not supported; supported are Ethernet, Linux cooked (SLL, SLL2), raw IP, "
                    "BSD loopback and NFLOG";
        return;
    }
    r.ok = true;
    read_pcap(sorter, r);
}

// ---- pcap ----------------------------------------------------------------------------------

// A record header: seconds, fraction, captured length, length on the wire. `strict` (looking for
// the next record after damage) asks more: a length on the wire at least the captured one, some
// bytes, and a time within a day of the last good record.
bool CaptureReader::record_plausible(const uint8_t* p, bool strict) const {
    const uint32_t frac = u32(p + 4), caplen = u32(p + 8);
    if (frac >= (nanos ? 1000000000u : 1000000u) || caplen > kMaxFrame) return false;
    if (!strict) return true;
    const int64_t sec = u32(p);
    return caplen > 0 && u32(p + 12) >= caplen &&
           (!have_last || std::llabs(sec - last_sec) <= kResyncWindowS);
}

// Steps a byte at a time from the damaged record to a header that is plausible and is followed by
// another plausible one (or by the end of the file).
bool CaptureReader::find_record(ReadResult& r, uint64_t bad_offset, const std::string& what) {
    constexpr size_t kLook = kPcapRecordHeader + kMaxFrame + kPcapRecordHeader;
    uint64_t skipped = 0;
    for (;;) {
        src.skip(1);
        ++skipped;
        const size_t n = src.fill(kLook);
        if (n < kPcapRecordHeader) break;
        const uint8_t* p = src.data();
        if (!record_plausible(p, true)) continue;
        const size_t len = kPcapRecordHeader + u32(p + 8);
        if ((len == n && n < kLook) ||
            (len + kPcapRecordHeader <= n && record_plausible(p + len, true))) {
            note_damage(r, bad_offset, skipped, what);
            return true;
        }
    }
    return false;
}

void CaptureReader::read_pcap(PacketSorter& sorter, ReadResult& r) {
    for (;;) {
        size_t got = src.fill(kPcapRecordHeader);
        if (got == 0) break;
        const uint64_t at = src.offset();
        if (got < kPcapRecordHeader) {
            lost(r, at, "the last record header is cut short at " + at_offset(at), true);
            break;
        }
        const uint8_t* p = src.data();
        if (!record_plausible(p, false)) {
            const std::string what = "a record header with captured length " +
                                     std::to_string(u32(p + 8)) + " and time fraction " +
                                     std::to_string(u32(p + 4));
            if (find_record(r, at, what)) continue;
            lost(r, at,
                 "damaged record at " + at_offset(at) + " (" + what +
                     "), and no good record after it",
                 false);
            break;
        }
        const size_t caplen = u32(p + 8);
        got = src.fill(kPcapRecordHeader + caplen);
        if (got < kPcapRecordHeader + caplen) {
            const std::string what = "a record of " + std::to_string(caplen) + " bytes at " +
                                     at_offset(at) + " has " +
                                     std::to_string(got - kPcapRecordHeader);
            if (find_record(r, at, what)) continue;
            lost(r, at, what, true);
            break;
        }
        p = src.data();
        const uint64_t sec = u32(p);
        const uint64_t frac = u32(p + 4);
        have_last = true;
        last_sec = static_cast<int64_t>(sec);
        sorter.frame(link_type, sec * 1000000 + (nanos ? frac / 1000 : frac), p + kPcapRecordHeader,
                     caplen, u32(p + 12));
        src.skip(kPcapRecordHeader + caplen);
    }
    if (src.read_error()) lost(r, src.offset(), "read error at " + at_offset(src.offset()), false);
}

// ---- pcapng --------------------------------------------------------------------------------

// Whether a block could start at `p` (`avail` bytes readable, at least kMinBlock): a known
// type and a length that is a multiple of 4 within bounds. A section header brings its own byte
// order.
bool CaptureReader::block_at(const uint8_t* p, size_t avail, bool& order_swapped,
                             uint32_t& len) const {
    uint32_t type;
    memcpy(&type, p, 4);
    order_swapped = swapped;
    if (type == kBlockSection) {
        if (avail < 28) return false;
        uint32_t bom;
        memcpy(&bom, p + 8, 4);
        if (bom != kByteOrderMagic && swap32(bom) != kByteOrderMagic) return false;
        order_swapped = bom != kByteOrderMagic;
    } else {
        type = u32(p);
        const bool known =
            type == kBlockInterface || type == kBlockPacket || type == kBlockSimple ||
            type == kBlockNames || type == kBlockStatistics || type == kBlockEnhanced ||
            type == kBlockSecrets || type == kBlockCustom || type == kBlockCustomNoCopy;
        if (!known) return false;
    }
    uint32_t raw;
    memcpy(&raw, p + 4, 4);
    len = order_swapped ? swap32(raw) : raw;
    return len >= kMinBlock && len % 4 == 0 && len <= kMaxBlock;
}

// Steps 4 bytes at a time (blocks are 4-byte aligned) from the damaged block to a whole one: a
// plausible header whose length is repeated at the block's end.
bool CaptureReader::find_block(ReadResult& r, uint64_t bad_offset, const std::string& what) {
    uint64_t skipped = 0;
    for (;;) {
        src.skip(4);
        skipped += 4;
        const size_t n = src.fill(28);
        if (n < kMinBlock) break;
        bool order;
        uint32_t len;
        if (!block_at(src.data(), n, order, len)) continue;
        if (src.fill(len) < len) continue;
        uint32_t raw;
        memcpy(&raw, src.data() + len - 4, 4);
        if ((order ? swap32(raw) : raw) != len) continue;
        swapped = order;
        note_damage(r, bad_offset, skipped, what);
        return true;
    }
    return false;
}

void CaptureReader::section(ReadResult& r) {
    ++r.sections;
    interfaces.clear();
}

void CaptureReader::interface(const uint8_t* p, uint32_t len, ReadResult& r) {
    if (len < 20 || interfaces.size() >= kMaxInterfaces) {
        ++r.bad_records;
        return;
    }
    Interface i{};
    i.link_type = u16(p + 8);
    i.snaplen = u32(p + 12);
    i.resolution = 6;
    i.note = kNoNote;
    // Options: code, length, value padded to 4 bytes; ends with code 0 or the block.
    size_t at = 16;
    const size_t end = len - 4;
    while (at + 4 <= end) {
        const uint16_t code = u16(p + at), olen = u16(p + at + 2);
        if (code == kOptEnd || at + 4 + olen > end) break;
        const uint8_t* v = p + at + 4;
        if (code == kOptTsResol && olen >= 1) {
            i.power_of_two = (v[0] & 0x80) != 0;
            i.resolution = v[0] & 0x7F;
        } else if (code == kOptTsOffset && olen >= 8) {
            const uint64_t lo = u32(v), hi = u32(v + 4);
            // The 64-bit value is in the section's byte order: its halves swap with it.
            const uint64_t raw = swapped ? (lo << 32 | hi) : (hi << 32 | lo);
            i.offset_s = static_cast<int64_t>(raw);
        }
        at += 4 + ((olen + 3u) & ~3u);
    }
    i.supported = link_type_supported(i.link_type);
    any_supported = any_supported || i.supported;
    if (!i.supported && r.skipped_interfaces.size() < kMaxSkippedInterfaceNotes) {
        i.note = r.skipped_interfaces.size();
        r.skipped_interfaces.push_back(SkippedInterface{r.sections ? r.sections - 1 : 0,
                                                        static_cast<uint32_t>(interfaces.size()),
                                                        i.link_type, 0});
    }
    interfaces.push_back(i);
}

void CaptureReader::packet(PacketSorter& sorter, ReadResult& r, uint32_t iface, uint64_t ts,
                           const uint8_t* data, uint32_t caplen, uint32_t wirelen, bool has_time) {
    if (iface >= interfaces.size()) {
        ++r.bad_records;
        return;
    }
    const Interface& i = interfaces[iface];
    if (!i.supported) {
        if (i.note != kNoNote) ++r.skipped_interfaces[i.note].frames;
        return;
    }
    sorter.frame(i.link_type, has_time ? to_micros(ts, i) : 0, data, caplen, wirelen);
}

void CaptureReader::read_pcapng(PacketSorter& sorter, ReadResult& r) {
    r.ok = true;
    for (;;) {
        size_t got = src.fill(8);
        if (got == 0) break;
        const uint64_t at = src.offset();
        if (got < 8) {
            lost(r, at, "the last block header is cut short at " + at_offset(at), true);
            break;
        }
        const uint8_t* p = src.data();
        uint32_t type;
        memcpy(&type, p, 4);
        if (type != kBlockSection) type = u32(p);
        uint32_t len = u32(p + 4);
        if (type == kBlockSection) {
            got = src.fill(12);
            p = src.data();
            uint32_t bom = 0;
            if (got >= 12) memcpy(&bom, p + 8, 4);
            if (bom == kByteOrderMagic || swap32(bom) == kByteOrderMagic) {
                swapped = bom != kByteOrderMagic;
                len = u32(p + 4);
            }
        }
        std::string what;
        bool short_of_bytes = false;
        if (len < kMinBlock || len % 4 || len > kMaxBlock) {
            what = "a block of type " + std::to_string(type) + " claims a length of " +
                   std::to_string(len) + " bytes";
        } else if ((got = src.fill(len)) < len) {
            what = "a block of " + std::to_string(len) + " bytes at " + at_offset(at) + " has " +
                   std::to_string(got);
            short_of_bytes = true;
        } else if (u32(src.data() + len - 4) != len) {
            what = "a block's length at its end (" + std::to_string(u32(src.data() + len - 4)) +
                   ") differs from its start (" + std::to_string(len) + ")";
        } else if (type == kBlockSection &&
                   (len < 28 || (u32(src.data() + 8) != kByteOrderMagic))) {
            what = "a section header without its byte-order magic";
        }
        if (!what.empty()) {
            if (find_block(r, at, what)) continue;
            lost(r, at,
                 short_of_bytes ? what
                                : "damaged block at " + at_offset(at) + " (" + what +
                                      "), and no good block after it",
                 short_of_bytes);
            break;
        }
        p = src.data();
        switch (type) {
            case kBlockSection:
                section(r);
                break;
            case kBlockInterface:
                interface(p, len, r);
                break;
            case kBlockEnhanced: {
                if (len < 32 || u32(p + 20) > len - 32) {
                    ++r.bad_records;
                    break;
                }
                const uint64_t ts = static_cast<uint64_t>(u32(p + 12)) << 32 | u32(p + 16);
                packet(sorter, r, u32(p + 8), ts, p + 28, u32(p + 20), u32(p + 24), true);
                break;
            }
            case kBlockPacket: {  // obsolete, still written by old tools
                if (len < 32 || u32(p + 20) > len - 32) {
                    ++r.bad_records;
                    break;
                }
                const uint64_t ts = static_cast<uint64_t>(u32(p + 12)) << 32 | u32(p + 16);
                packet(sorter, r, u16(p + 8), ts, p + 28, u32(p + 20), u32(p + 24), true);
                break;
            }
            case kBlockSimple: {  // interface 0, no time
                if (len < 16) {
                    ++r.bad_records;
                    break;
                }
                const uint32_t wire = u32(p + 8);
                uint32_t caplen = std::min<uint32_t>(wire, len - 16);
                if (!interfaces.empty() && interfaces[0].snaplen)
                    caplen = std::min(caplen, interfaces[0].snaplen);
                packet(sorter, r, 0, 0, p + 12, caplen, wire, false);
                break;
            }
            default:
                break;  // names, statistics, secrets, custom blocks: nothing for us
        }
        src.skip(len);
    }
    if (src.read_error()) lost(r, src.offset(), "read error at " + at_offset(src.offset()), false);
}

}  // namespace pcapin
