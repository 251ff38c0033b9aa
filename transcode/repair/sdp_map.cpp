#include "sdp_map.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "small_file.h"

namespace streams {

namespace {

// An SDP is a few kilobytes; anything far larger is not one.
constexpr size_t kMaxSdpBytes = 1 << 20;

std::unique_ptr<SdpMap>& loaded() {
    static std::unique_ptr<SdpMap> map;
    return map;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

// A payload type number 0..127 at the start of `s`; -1 otherwise.
int read_pt(const std::string& s, size_t* end) {
    size_t i = 0;
    int v = 0;
    while (i < s.size() && isdigit(static_cast<unsigned char>(s[i])) && i < 4)
        v = v * 10 + (s[i++] - '0');
    *end = i;
    return i == 0 || v > 127 ? -1 : v;
}

bool read_u32(const std::string& s, uint32_t* v) {
    if (s.empty() || !isdigit(static_cast<unsigned char>(s[0]))) return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long n = strtoull(s.c_str(), &end, 10);
    if (errno || *end != '\0' || n > 0xFFFFFFFFull) return false;
    *v = static_cast<uint32_t>(n);
    return true;
}

SdpPt role_of_codec(const std::string& name) {
    const std::string n = lower(name);
    if (n == "red") return SdpPt::red;
    if (n == "rtx") return SdpPt::rtx;
    if (n == "ulpfec") return SdpPt::ulpfec;
    if (n.compare(0, 7, "flexfec") == 0) return SdpPt::flexfec;
    return SdpPt::media;
}

const char* const kDependencyDescriptorUri =
    "https://aomediacodec.github.io/av1-rtp-spec/#dependency-descriptor-rtp-header-extension";

SdpExt ext_of_uri(const std::string& uri) {
    static const char* const kWhole[] = {
        "urn:ietf:params:rtp-hdrext:toffset",
        "http://www.webrtc.org/experiments/rtp-hdrext/abs-send-time",
        "http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01",
        "http://www.webrtc.org/experiments/rtp-hdrext/transport-wide-cc-02"};
    for (const char* u : kWhole)
        if (uri == u) return SdpExt::rewritten;
    if (uri == "http://www.webrtc.org/experiments/rtp-hdrext/video-timing")
        return SdpExt::rewritten_from_7;
    return SdpExt::kept;
}

std::vector<std::string> words(const std::string& s) {
    std::vector<std::string> w;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && isspace(static_cast<unsigned char>(s[i]))) ++i;
        const size_t start = i;
        while (i < s.size() && !isspace(static_cast<unsigned char>(s[i]))) ++i;
        if (i > start) w.push_back(s.substr(start, i - start));
    }
    return w;
}

}  // namespace

bool parse_sdp(const std::string& text, SdpMap* out, std::string* error) {
    *out = SdpMap();
    SdpKind* kind = nullptr;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, 2, "m=") == 0) {
            const std::vector<std::string> w = words(line.substr(2));
            kind = w.empty()         ? nullptr
                   : w[0] == "video" ? &out->video
                   : w[0] == "audio" ? &out->audio
                                     : nullptr;
            if (!kind) continue;
            kind->present = true;
            // The formats of the m= line are media until an rtpmap says otherwise.
            for (size_t i = 3; i < w.size(); ++i) {
                size_t end = 0;
                const int pt = read_pt(w[i], &end);
                if (pt >= 0 && end == w[i].size() && kind->pt[pt] == SdpPt::none)
                    kind->pt[pt] = SdpPt::media;
            }
            continue;
        }
        if (!kind || line.compare(0, 2, "a=") != 0) continue;
        const std::string attr = line.substr(2);
        if (attr.compare(0, 7, "rtpmap:") == 0) {
            const std::string rest = attr.substr(7);
            size_t end = 0;
            const int pt = read_pt(rest, &end);
            if (pt < 0) continue;
            const std::vector<std::string> w = words(rest.substr(end));
            if (w.empty()) continue;
            kind->name[pt] = w[0].substr(0, w[0].find('/'));
            kind->pt[pt] = role_of_codec(kind->name[pt]);
        } else if (attr.compare(0, 5, "fmtp:") == 0) {
            const std::string rest = attr.substr(5);
            size_t end = 0;
            const int pt = read_pt(rest, &end);
            const size_t apt = rest.find("apt=", end);
            if (pt < 0 || apt == std::string::npos) continue;
            size_t aend = 0;
            const int original = read_pt(rest.substr(apt + 4), &aend);
            if (original >= 0) kind->apt[pt] = static_cast<uint8_t>(original);
        } else if (attr.compare(0, 7, "extmap:") == 0) {
            // a=extmap:ID[/direction] URI [attributes]
            const std::vector<std::string> w = words(attr.substr(7));
            uint32_t id = 0;
            if (w.size() < 2 || !read_u32(w[0].substr(0, w[0].find('/')), &id) || id == 0 ||
                id > 255)
                continue;
            kind->ext[id] = ext_of_uri(w[1]);
            if (w[1] == kDependencyDescriptorUri)
                kind->dependency_descriptor = static_cast<uint8_t>(id);
        } else if (attr.compare(0, 11, "ssrc-group:") == 0) {
            const std::vector<std::string> w = words(attr.substr(11));
            uint32_t a = 0, b = 0;
            if (w.size() < 3 || !read_u32(w[1], &a) || !read_u32(w[2], &b)) continue;
            if (w[0] == "FID") kind->fid.emplace_back(a, b);
            if (w[0] == "FEC-FR") kind->fec_fr.emplace_back(a, b);
        }
    }
    if (!out->video.present && !out->audio.present) {
        *error = "no audio or video section (m=audio, m=video)";
        return false;
    }
    return true;
}

bool load_sdp(const std::string& path, std::string* error) {
    std::string text;
    int error_number = 0;
    switch (smallfile::read_small_file(path, kMaxSdpBytes, &text, &error_number)) {
        case smallfile::ReadStatus::ok:
            break;
        case smallfile::ReadStatus::cannot_open:
            *error = strerror(error_number);
            return false;
        case smallfile::ReadStatus::cannot_read:
            *error = "cannot read it";
            return false;
        case smallfile::ReadStatus::no_data:
            *error =
                "cannot read it: nothing came in " + std::to_string(smallfile::kWaitSeconds) + " s";
            return false;
        case smallfile::ReadStatus::too_large:
            *error = "larger than 1 MiB: not an SDP";
            return false;
    }
    auto map = std::make_unique<SdpMap>();
    if (!parse_sdp(text, map.get(), error)) return false;
    loaded() = std::move(map);
    return true;
}

const SdpMap* run_sdp() {
    return loaded().get();
}

void clear_sdp() {
    loaded().reset();
}

}  // namespace streams
