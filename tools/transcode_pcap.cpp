// transcode-pcap: turns the RTP packets of a network capture (pcap or pcapng) into the capture
// files the converter reads, one user per sender.

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "capture_files.h"
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
    "      --tcp            also read RTP over TCP, framed as RFC 4571\n"
    "      --json FILE      write the users, SSRCs and counts as JSON\n"
    "  -q, --quiet          print only errors\n"
    "  -h, --help           print this help\n";

int usage_error(const std::string& message) {
    fprintf(stderr, "transcode-pcap: %s\n%s", message.c_str(), kUsage);
    return 2;
}

bool parse_u32(const char* text, uint32_t& out) {
    if (!text || !*text || *text == '-') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = strtoull(text, &end, 0);
    if (errno || *end || v > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    pcapin::SortOptions options;
    std::string sdp_path, json_path;
    std::vector<std::string> positional;
    bool quiet = false;
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
            options.users[ssrc] = uid;
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
            return 1;
        }
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        if (!pcapin::parse_sdp(text.str(), sdp, error)) {
            fprintf(stderr, "transcode-pcap: %s: %s\n", sdp_path.c_str(), error.c_str());
            return 1;
        }
        options.sdp = &sdp;
    }

    std::string error;
    pcapin::PcapHandle pcap = pcapin::open_pcap(pcap_path, error);
    if (!pcap) {
        fprintf(stderr, "transcode-pcap: %s is not a capture file libpcap can read: %s\n",
                pcap_path.c_str(), error.c_str());
        return 1;
    }
    if (mkdir(out_dir.c_str(), 0777) != 0 && errno != EEXIST) {
        fprintf(stderr, "transcode-pcap: cannot create %s: %s\n", out_dir.c_str(), strerror(errno));
        return 1;
    }

    pcapin::CaptureFiles files(out_dir, options.split_seconds);
    pcapin::PacketSorter sorter(options, files.sink());
    const pcapin::ReadResult read = pcapin::read_pcap(pcap.get(), sorter);
    if (!read.ok) {
        fprintf(stderr, "transcode-pcap: %s: %s\n", pcap_path.c_str(), read.message.c_str());
        return 1;
    }
    const bool written = files.close();
    if (read.truncated)
        fprintf(stderr,
                "transcode-pcap: %s ends inside a frame (%s); the %llu frames before it were "
                "used\n",
                pcap_path.c_str(), read.message.c_str(),
                static_cast<unsigned long long>(sorter.counts().frames));
    if (!quiet) pcapin::print_summary(stderr, sorter);
    if (!json_path.empty()) {
        nlohmann::json j = pcapin::summary_json(sorter);
        j["truncated"] = read.truncated;
        j["files"] = files.files();
        std::ofstream out(json_path, std::ios::binary | std::ios::trunc);
        out << j.dump(2) << '\n';
        out.close();
        if (!out) {
            fprintf(stderr, "transcode-pcap: cannot write %s\n", json_path.c_str());
            return 1;
        }
    }
    if (!written) {
        fprintf(stderr, "transcode-pcap: %s\n", files.error().c_str());
        return 1;
    }
    return 0;
}
