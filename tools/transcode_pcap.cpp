// transcode-pcap: turns the RTP packets of a network capture (pcap or pcapng) into the capture
// files the converter reads, one user per sender.

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "capture_files.h"
#include "output_folder.h"
#include "pcap_input.h"
#include "sort_report.h"

namespace {

const char kUsage[] =
    "Usage: transcode-pcap [options] PCAP OUTDIR\n"
    "\n"
    "Writes the RTP packets of the pcap or pcapng file PCAP as capture files (v_<ms>.video,\n"
    "a_<ms>.audio) into OUTDIR, for `transcode -p OUTDIR/`. One user per sender (a transport\n"
    "5-tuple in one direction); video and audio told apart by their RTP clocks.\n"
    "\n"
    "  -s, --split SECONDS  start a new file of a kind every SECONDS of capture time (default 60)\n"
    "      --sdp FILE       take the kind of each SSRC and payload type from this SDP\n"
    "  -u, --user SSRC=UID  give the packets of SSRC the user id UID (repeatable)\n"
    "      --append         add to an OUTDIR that already holds capture files, numbering new\n"
    "                       users past the ids in them\n"
    "      --tcp            also read RTP over TCP, framed as RFC 4571\n"
    "      --json FILE      write the users, SSRCs and counts as JSON\n"
    "  -q, --quiet          print only errors\n"
    "  -h, --help           print this help\n";

// Exit statuses (docs/transcode-pcap.1).
constexpr int kExitOk = 0;
constexpr int kExitIo = 1;       // the input cannot be read or an output cannot be written
constexpr int kExitUsage = 2;    // the command line (or the output folder) is refused
constexpr int kExitDamaged = 3;  // the capture is damaged inside: what could be read was written
constexpr int kExitMixed = 4;    // --user gave one id to two senders: their packets were mixed

int usage_error(const std::string& message) {
    fprintf(stderr, "transcode-pcap: %s\n%s", message.c_str(), kUsage);
    return kExitUsage;
}

// Decimal, or hexadecimal after 0x: a leading 0 is no octal prefix.
bool parse_u32(const char* text, uint32_t& out) {
    if (!text || !*text) return false;
    int base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (!isxdigit(static_cast<unsigned char>(*text))) return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = strtoull(text, &end, base);
    if (errno || *end || v > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

void report_damage(const std::string& pcap_path, const pcapin::ReadResult& r, uint64_t frames) {
    const char* path = pcap_path.c_str();
    for (const auto& d : r.damage)
        fprintf(stderr,
                "transcode-pcap: %s: damaged at byte %llu (%s); %llu bytes skipped to the next "
                "good record\n",
                path, static_cast<unsigned long long>(d.offset), d.what.c_str(),
                static_cast<unsigned long long>(d.skipped));
    if (r.damaged_places > r.damage.size())
        fprintf(stderr, "transcode-pcap: %s: and %llu more damaged places\n", path,
                static_cast<unsigned long long>(r.damaged_places - r.damage.size()));
    if (r.damaged_places > 1)
        fprintf(stderr, "transcode-pcap: %s: %llu damaged places, %llu bytes skipped in all\n",
                path, static_cast<unsigned long long>(r.damaged_places),
                static_cast<unsigned long long>(r.skipped_bytes));
    if (r.stopped)
        fprintf(stderr,
                "transcode-pcap: %s: reading stopped: %s; the %llu frames before it were used, "
                "the rest of the file (from byte %llu) is lost\n",
                path, r.message.c_str(), static_cast<unsigned long long>(frames),
                static_cast<unsigned long long>(r.stopped_at));
    if (r.bad_records)
        fprintf(stderr,
                "transcode-pcap: %s: %llu packet blocks left out: their lengths contradict their "
                "block, or they name no interface\n",
                path, static_cast<unsigned long long>(r.bad_records));
    for (const auto& i : r.skipped_interfaces)
        fprintf(stderr,
                "transcode-pcap: %s: interface %u of section %u has link type %s, which is not "
                "read: %llu frames left out\n",
                path, i.interface, i.section, pcapin::link_type_text(i.link_type).c_str(),
                static_cast<unsigned long long>(i.frames));
}

}  // namespace

int main(int argc, char** argv) {
    pcapin::SortOptions options;
    std::string sdp_path, json_path;
    std::vector<std::string> positional;
    bool quiet = false, append = false;
    std::map<uint32_t, std::string> user_option;  // by SSRC: the --user option that named it
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) return nullptr;
            (void)name;
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            fputs(kUsage, stdout);
            return 0;
        } else if (a == "-s" || a == "--split") {
            const char* v = value("--split");
            if (!parse_u32(v, options.split_seconds) || options.split_seconds == 0)
                return usage_error("--split takes a whole number of seconds, at least 1");
        } else if (a == "--sdp") {
            const char* v = value("--sdp");
            if (!v) return usage_error("--sdp takes a file");
            sdp_path = v;
        } else if (a == "-u" || a == "--user") {
            const char* v = value("--user");
            const char* eq = v ? strchr(v, '=') : nullptr;
            uint32_t ssrc = 0, uid = 0;
            if (!eq || !parse_u32(std::string(v, eq).c_str(), ssrc) || !parse_u32(eq + 1, uid))
                return usage_error("--user takes SSRC=UID (decimal or 0x hexadecimal)");
            const std::string text = a + " " + v;
            // A repeated option that says the same thing again is harmless; one that differs is
            // refused. Several SSRCs on one id are one participant's streams as long as they
            // share a transport: that is checked once the capture is read.
            auto named = user_option.find(ssrc);
            if (named != user_option.end() && options.users[ssrc] != uid)
                return usage_error(named->second + " and " + text + " give one SSRC two user ids");
            user_option.emplace(ssrc, text);
            options.users[ssrc] = uid;
        } else if (a == "--append") {
            append = true;
        } else if (a == "--tcp") {
            options.tcp = true;
        } else if (a == "--json") {
            const char* v = value("--json");
            if (!v) return usage_error("--json takes a file");
            json_path = v;
        } else if (a == "-q" || a == "--quiet") {
            quiet = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2) return usage_error("expected PCAP and OUTDIR");
    const std::string& pcap_path = positional[0];
    const std::string& out_dir = positional[1];

    pcapin::SdpKinds sdp;
    if (!sdp_path.empty()) {
        std::ifstream in(sdp_path, std::ios::binary);
        if (!in) {
            fprintf(stderr, "transcode-pcap: cannot read %s: %s\n", sdp_path.c_str(),
                    strerror(errno));
            return kExitIo;
        }
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        if (!pcapin::parse_sdp(text.str(), sdp, error)) {
            fprintf(stderr, "transcode-pcap: %s: %s\n", sdp_path.c_str(), error.c_str());
            return kExitIo;
        }
        options.sdp = &sdp;
    }

    std::string error;
    pcapin::PcapHandle pcap = pcapin::open_pcap(pcap_path, error);
    if (!pcap) {
        fprintf(stderr, "transcode-pcap: %s is not a capture file that can be read: %s\n",
                pcap_path.c_str(), error.c_str());
        return kExitIo;
    }
    // A second capture into a folder would mix its users 1, 2, ... into the first one's.
    pcapin::FolderContents folder;
    if (!pcapin::scan_output_folder(out_dir, append, folder, error)) {
        fprintf(stderr, "transcode-pcap: %s\n", error.c_str());
        return kExitIo;
    }
    if (folder.capture_files && !append)
        return usage_error(out_dir + " already holds " + std::to_string(folder.capture_files) +
                           " capture files; give --append to add to them (new users are "
                           "numbered past theirs), or another folder");
    if (folder.any_user) {
        if (folder.max_uid == UINT32_MAX) {
            fprintf(stderr, "transcode-pcap: %s holds user id %u: no id is left past it\n",
                    out_dir.c_str(), folder.max_uid);
            return kExitUsage;
        }
        options.first_auto_uid = folder.max_uid + 1;
    }
    if (!folder.exists && mkdir(out_dir.c_str(), 0777) != 0 && errno != EEXIST) {
        fprintf(stderr, "transcode-pcap: cannot create %s: %s\n", out_dir.c_str(), strerror(errno));
        return kExitIo;
    }

    pcapin::CaptureFiles files(out_dir, options.split_seconds);
    pcapin::PacketSorter sorter(options, files.sink());
    const pcapin::ReadResult read = pcapin::read_pcap(pcap.get(), sorter);
    if (!read.ok) {
        fprintf(stderr, "transcode-pcap: %s: %s\n", pcap_path.c_str(), read.message.c_str());
        return kExitIo;
    }
    const bool written = files.close();
    if (read.truncated)
        fprintf(stderr,
                "transcode-pcap: %s ends inside a frame (%s); the %llu frames before it were "
                "used\n",
                pcap_path.c_str(), read.message.c_str(),
                static_cast<unsigned long long>(sorter.counts().frames));
    report_damage(pcap_path, read, sorter.counts().frames);
    pcapin::print_clock_warnings(stderr, sorter);
    const std::vector<pcapin::UserConflict> conflicts = sorter.user_conflicts();
    for (const auto& c : conflicts)
        fprintf(stderr,
                "transcode-pcap: %s and %s give one user id to two senders that share no "
                "transport (%s; %s): their packets are mixed in user %u\n",
                user_option[c.ssrc_a].c_str(), user_option[c.ssrc_b].c_str(),
                sorter.senders()[c.sender_a].describe().c_str(),
                sorter.senders()[c.sender_b].describe().c_str(), c.uid);
    if (sorter.counts().rtp == 0)
        fprintf(stderr,
                "transcode-pcap: %s holds no RTP packets (%llu frames read): nothing was "
                "written\n",
                pcap_path.c_str(), static_cast<unsigned long long>(sorter.counts().frames));
    if (!quiet) pcapin::print_summary(stderr, sorter);
    if (!json_path.empty()) {
        nlohmann::json j = pcapin::summary_json(sorter);
        j["truncated"] = read.truncated;
        j["files"] = files.files();
        if (read.damaged() || read.bad_records || !read.skipped_interfaces.empty())
            j["damage"] = pcapin::damage_json(read);
        std::ofstream out(json_path, std::ios::binary | std::ios::trunc);
        pcapin::write_summary_json(out, j, sorter);
        out.close();
        if (!out) {
            fprintf(stderr, "transcode-pcap: cannot write %s\n", json_path.c_str());
            return kExitIo;
        }
    }
    if (!written) {
        fprintf(stderr, "transcode-pcap: %s\n", files.error().c_str());
        return kExitIo;
    }
    if (read.damaged() || read.bad_records) return kExitDamaged;
    return conflicts.empty() ? kExitOk : kExitMixed;
}
