// capture_pcap: writes the records of a work directory as a network capture, the way a tap
// between the senders and the recorder would have seen them, for the tests and the benchmark of
// transcode-pcap.
//
// Every user sends from an address and port of its own (audio and video bundled on one 5-tuple)
// to one receiver. Capture times: an audio record's leading field (milliseconds, or microseconds
// with --audio-time-us); a video packet's time follows its RTP timestamp at 90 kHz from the
// user's first video packet, placed at the time of the first record read. Times never go back
// within a kind, so each kind's records keep their order when the two are merged by time.

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "main.h"

namespace {

struct Record {
    int kind;  // 0 video, 1 audio
    uint64_t time_us;
    uint32_t uid;
    std::vector<uint8_t> packet;
};

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::vector<uint8_t> out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return out;
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    fclose(f);
    return out;
}

// The records of one kind, in the converter's order; a record cut short ends its file and a
// record of Length 0 ends the stream, as in the converter's reader.
std::vector<Record> read_kind(const std::string& dir, int kind, uint64_t audio_scale) {
    std::vector<std::string> files;
    GetFileLists(files, dir, kind == 0 ? ".video" : ".audio");
    std::sort(files.begin(), files.end(), [&](const std::string& a, const std::string& b) {
        return compare_listed(dir, a, b);
    });
    std::vector<Record> out;
    const size_t head = kind == 0 ? 8 : 16;
    for (const std::string& path : files) {
        const std::vector<uint8_t> b = read_file(path);
        size_t at = 0;
        while (b.size() - at >= head) {
            const uint32_t len = le32(&b[at + (kind == 0 ? 0 : 12)]);
            const uint32_t uid = le32(&b[at + (kind == 0 ? 4 : 8)]);
            uint64_t time = 0;
            if (kind == 1)
                time = (static_cast<uint64_t>(le32(&b[at + 4])) << 32 | le32(&b[at])) * audio_scale;
            at += head;
            if (len == 0) return out;
            if (len > b.size() - at) break;
            out.push_back(Record{kind, time, uid, std::vector<uint8_t>(&b[at], &b[at] + len)});
            at += len;
        }
    }
    return out;
}

void put_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

uint16_t ip_checksum(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr,
                "Usage: capture_pcap DIR/ OUT.pcap [--audio-time-us]\n"
                "Writes the records of DIR's capture files as UDP over Ethernet in a pcap file.\n");
        return 2;
    }
    const std::string dir = argv[1];
    const uint64_t audio_scale = argc > 3 && strcmp(argv[3], "--audio-time-us") == 0 ? 1 : 1000;
    std::vector<Record> video = read_kind(dir, 0, audio_scale);
    std::vector<Record> audio = read_kind(dir, 1, audio_scale);

    uint64_t start = audio.empty() ? 1700000000000000ull : audio.front().time_us;
    struct Clock {
        uint32_t first_ts;
    };
    std::map<uint32_t, Clock> clocks;
    uint64_t last = start;
    for (Record& r : video) {
        const uint8_t* p = r.packet.data();
        const uint32_t ts = r.packet.size() >= 8 ? (static_cast<uint32_t>(p[4]) << 24 |
                                                    static_cast<uint32_t>(p[5]) << 16 |
                                                    static_cast<uint32_t>(p[6]) << 8 | p[7])
                                                 : 0;
        auto it = clocks.emplace(r.uid, Clock{ts}).first;
        const int32_t ticks = static_cast<int32_t>(ts - it->second.first_ts);
        const uint64_t t = start + static_cast<uint64_t>(std::max(ticks, 0)) * 1000000 / 90000;
        last = std::max(last, t);
        r.time_us = last;
    }
    last = 0;
    for (Record& r : audio) r.time_us = last = std::max(last, r.time_us);

    std::vector<const Record*> all;
    size_t v = 0, a = 0;
    while (v < video.size() || a < audio.size()) {
        if (a == audio.size() || (v < video.size() && video[v].time_us <= audio[a].time_us))
            all.push_back(&video[v++]);
        else
            all.push_back(&audio[a++]);
    }

    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dump = pcap_dump_open(dead, argv[2]);
    if (!dump) {
        fprintf(stderr, "capture_pcap: %s\n", pcap_geterr(dead));
        return 1;
    }
    std::map<uint32_t, int> user_index;
    std::vector<uint8_t> frame;
    for (const Record* r : all) {
        const int u = user_index.emplace(r->uid, static_cast<int>(user_index.size())).first->second;
        const size_t udp_len = 8 + r->packet.size();
        const size_t ip_len = 20 + udp_len;
        frame.assign(14 + ip_len, 0);
        uint8_t* e = frame.data();
        e[5] = 1;  // receiver's MAC 00:00:00:00:00:01
        e[6] = 2, e[10] = static_cast<uint8_t>(u >> 8), e[11] = static_cast<uint8_t>(u);
        put_be16(e + 12, 0x0800);
        uint8_t* ip = e + 14;
        ip[0] = 0x45;
        put_be16(ip + 2, static_cast<uint16_t>(ip_len));
        ip[8] = 64;
        ip[9] = 17;
        ip[12] = 10, ip[13] = 1, ip[14] = static_cast<uint8_t>(u >> 8),
        ip[15] = static_cast<uint8_t>(u + 1);
        ip[16] = 10, ip[17] = 0, ip[18] = 0, ip[19] = 1;
        put_be16(ip + 10, ip_checksum(ip, 20));
        uint8_t* udp = ip + 20;
        put_be16(udp, static_cast<uint16_t>(40000 + u % 20000));
        put_be16(udp + 2, 5004);
        put_be16(udp + 4, static_cast<uint16_t>(udp_len));
        memcpy(udp + 8, r->packet.data(), r->packet.size());
        struct pcap_pkthdr h;
        h.ts.tv_sec = static_cast<time_t>(r->time_us / 1000000);
        h.ts.tv_usec = static_cast<suseconds_t>(r->time_us % 1000000);
        h.caplen = h.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(dump), &h, frame.data());
    }
    pcap_dump_close(dump);
    pcap_close(dead);
    return 0;
}
