// The payload-type and SSRC map of a negotiated SDP (--sdp FILE): which payload types carry the
// media, RED, RTX (with the type each restores) and FEC, and which SSRCs are grouped as media and
// retransmission (FID) or media and FEC (FEC-FR). With a map the stream classifier asks it instead
// of guessing from the packets.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace streams {

enum class SdpPt : uint8_t { none, media, red, rtx, ulpfec, flexfec };

// What a WebRTC sender does to a header extension after it has computed its FEC over the packet:
// the transport-wide sequence number, abs-send-time and the transmission offset are written in
// whole as the packet leaves, and video-timing from its seventh byte on (pacer exit onwards). The
// FEC was computed with those bytes zero, so a receiver zeroes them too before it XORs.
enum class SdpExt : uint8_t { kept, rewritten, rewritten_from_7 };

// One kind's m= sections merged.
struct SdpKind {
    bool present = false;
    SdpPt pt[128] = {};
    uint8_t apt[128] = {};              // rtx: the payload type restored
    std::string name[128];              // a=rtpmap encoding name, as written
    SdpExt ext[256] = {};               // by header extension id (a=extmap)
    uint8_t dependency_descriptor = 0;  // AV1's dependency descriptor's extension id (0: none)
    std::vector<std::pair<uint32_t, uint32_t>> fid;     // media SSRC, RTX SSRC
    std::vector<std::pair<uint32_t, uint32_t>> fec_fr;  // media SSRC, FEC SSRC
};

struct SdpMap {
    SdpKind video;
    SdpKind audio;
};

// Reads the SDP text; false with *error when it holds no audio or video section.
bool parse_sdp(const std::string& text, SdpMap* out, std::string* error);

// The run's map (--sdp FILE): load_sdp() reads and keeps it; run_sdp() is null without one.
bool load_sdp(const std::string& path, std::string* error);
const SdpMap* run_sdp();
void clear_sdp();

}  // namespace streams
