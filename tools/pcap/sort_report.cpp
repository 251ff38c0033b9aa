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

void print_clock_warnings(FILE* out, const PacketSorter& sorter) {
    for (const auto& s : sorter.streams()) {
        if (!s->clock_unknown) continue;
        fprintf(out,
                "transcode-pcap: ssrc %u (0x%08x): its RTP clock runs at %ld Hz, near no known "
                "clock (90 kHz video; 48, 16 or 8 kHz audio): taken as %s by guess\n",
                s->ssrc, s->ssrc, static_cast<long>(s->clock_hz + 0.5), kind_name(s->kind));
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
    return j;
}

nlohmann::json stream_json(const PacketSorter& sorter, const Stream& s) {
    nlohmann::json pts = nlohmann::json::object();
    for (int pt = 0; pt < 128; ++pt)
        if (s.payload_types[pt]) pts[std::to_string(pt)] = s.payload_types[pt];
    nlohmann::json j = {{"ssrc", s.ssrc},
                        {"user", s.uid},
                        {"kind", kind_name(s.kind)},
                        {"kind_from", kind_from_name(s.kind_from)},
                        {"clock_hz", s.clock_hz},
                        {"packets", s.packets},
                        {"payload_types", pts},
                        {"sender", sorter.senders()[s.sender].describe()}};
    if (s.clock_unknown) j["clock_unknown"] = true;
    return j;
}

void write_summary_json(std::ostream& out, nlohmann::json j, const PacketSorter& sorter) {
    // A marker where the streams go; the object's keys keep their sorted order around it.
    j["streams"] = "\x01streams";
    const std::string text = j.dump(2);
    const std::string marker = "\"\\u0001streams\"";
    const size_t at = text.find(marker);
    out << text.substr(0, at);
    if (sorter.streams().empty()) {
        out << "[]";
    } else {
        out << "[\n";
        bool first = true;
        for (const auto& s : sorter.streams()) {
            if (!first) out << ",\n";
            first = false;
            const std::string one = stream_json(sorter, *s).dump(2);
            out << "    ";
            for (char ch : one) {
                out << ch;
                if (ch == '\n') out << "    ";
            }
        }
        out << "\n  ]";
    }
    out << text.substr(at + marker.size()) << '\n';
}

nlohmann::json damage_json(const ReadResult& r) {
    nlohmann::json places = nlohmann::json::array();
    for (const auto& d : r.damage)
        places.push_back({{"offset", d.offset}, {"skipped", d.skipped}, {"what", d.what}});
    nlohmann::json interfaces = nlohmann::json::array();
    for (const auto& i : r.skipped_interfaces)
        interfaces.push_back({{"section", i.section},
                              {"interface", i.interface},
                              {"link_type", i.link_type},
                              {"frames", i.frames}});
    nlohmann::json j = {{"damaged_places", r.damaged_places},
                        {"skipped_bytes", r.skipped_bytes},
                        {"places", places},
                        {"stopped", r.stopped},
                        {"bad_records", r.bad_records},
                        {"skipped_interfaces", interfaces}};
    if (r.stopped) j["stopped_at"] = r.stopped_at;
    return j;
}

}  // namespace pcapin
