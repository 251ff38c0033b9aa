#include "sort_report.h"

#include <cinttypes>
#include <map>
#include <vector>

namespace pcapin {
namespace {

// Counts of what was not written, with the names used in the text and in the JSON.
std::vector<std::pair<const char*, uint64_t>> left_out(const SortCounts& c) {
    return {{"not_ip", c.not_ip},
            {"other_ip", c.other_ip},
            {"tcp_ignored", c.tcp_ignored},
            {"cut", c.cut},
            {"fragments", c.fragments},
            {"malformed", c.malformed},
            {"stun", c.stun},
            {"dtls", c.dtls},
            {"rtcp", c.rtcp},
            {"not_rtp", c.not_rtp},
            {"tcp_gaps", c.tcp_gaps},
            {"too_many_streams", c.too_many_streams}};
}

std::string payload_type_text(const Stream& s) {
    std::string text;
    for (int pt = 0; pt < 128; ++pt) {
        if (s.payload_types[pt] == 0) continue;
        if (!text.empty()) text += ", ";
        text += "pt " + std::to_string(pt) + " x" + std::to_string(s.payload_types[pt]);
    }
    return text;
}

}  // namespace

void print_summary(FILE* out, const PacketSorter& sorter) {
    const SortCounts& c = sorter.counts();
    fprintf(out, "transcode-pcap: %" PRIu64 " frames, %" PRIu64 " RTP packets written\n", c.frames,
            c.rtp);
    std::string rest;
    for (const auto& item : left_out(c))
        if (item.second) rest += " " + std::string(item.first) + "=" + std::to_string(item.second);
    if (!rest.empty()) fprintf(out, "transcode-pcap: left out:%s\n", rest.c_str());
    if (c.cut)
        fprintf(out,
                "transcode-pcap: %" PRIu64
                " packets were cut short by the capture's snapshot length and left out; capture "
                "with a larger one (tcpdump -s 0)\n",
                c.cut);
    if (c.fragments)
        fprintf(out, "transcode-pcap: %" PRIu64 " IP fragments left out (not reassembled)\n",
                c.fragments);
    std::map<uint32_t, std::vector<const Stream*>> by_user;
    for (const auto& s : sorter.streams()) by_user[s->uid].push_back(s.get());
    for (const auto& user : by_user) {
        fprintf(out, "user %u:\n", user.first);
        for (const Stream* s : user.second) {
            std::string clock;
            if (s->kind_from == KindFrom::clock)
                clock = " " + std::to_string(static_cast<long>(s->clock_hz + 0.5)) + " Hz";
            fprintf(out, "  ssrc %u (0x%08x) %s by %s%s, %" PRIu64 " packets: %s; from %s\n",
                    s->ssrc, s->ssrc, kind_name(s->kind), kind_from_name(s->kind_from),
                    clock.c_str(), s->packets, payload_type_text(*s).c_str(),
                    sorter.senders()[s->sender].describe().c_str());
        }
    }
}

nlohmann::json summary_json(const PacketSorter& sorter) {
    const SortCounts& c = sorter.counts();
    nlohmann::json j;
    j["frames"] = c.frames;
    j["rtp_packets"] = c.rtp;
    nlohmann::json out = nlohmann::json::object();
    for (const auto& item : left_out(c)) out[item.first] = item.second;
    j["left_out"] = out;
    nlohmann::json streams = nlohmann::json::array();
    for (const auto& s : sorter.streams()) {
        nlohmann::json pts = nlohmann::json::object();
        for (int pt = 0; pt < 128; ++pt)
            if (s->payload_types[pt]) pts[std::to_string(pt)] = s->payload_types[pt];
        streams.push_back({{"ssrc", s->ssrc},
                           {"user", s->uid},
                           {"kind", kind_name(s->kind)},
                           {"kind_from", kind_from_name(s->kind_from)},
                           {"clock_hz", s->clock_hz},
                           {"packets", s->packets},
                           {"payload_types", pts},
                           {"sender", sorter.senders()[s->sender].describe()}});
    }
    j["streams"] = streams;
    return j;
}

}  // namespace pcapin
