// capture_synth: writes a work directory of capture files the way the recorder does, plus a
// manifest of what a correct converter must make of it.
//
// Media are real: VP8 from libvpx on a moving test pattern and Opus from libopus on a tone or chirp
// (or frames read from an IVF / Ogg Opus file). They are packetized into RTP like a WebRTC sender
// would (RFC 7741 for VP8, RFC 7587 for Opus), given per-user header variants, impaired on request,
// interleaved across users in capture-time order and split over several files per kind.
//
// The manifest is computed from the bytes actually written: the files are read back with a model
// of the converter's record reader, RTP parser and VP8 reassembly, written independently of the
// converter, so the tests that compare the converter's output against it check two
// implementations of the same rules against each other.

#include <aom/aom_encoder.h>
#include <aom/aomcx.h>
#include <ogg/ogg.h>
#include <opus/opus.h>
#include <sys/stat.h>
#include <vpx/vp8cx.h>
#include <vpx/vpx_encoder.h>
#include <x264.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "fec_header.h"
#include "rtp_packet.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Bad input from the user: reported as a usage error (exit status 2).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// Anything else that stops the run (a codec or file failure): exit status 1.
struct RunError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum Kind { kVideo = 0, kAudio = 1 };
const char* kind_name(int kind) {
    return kind == kVideo ? "video" : "audio";
}

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

uint64_t fnv1a64(const uint8_t* p, size_t n) {
    uint64_t h = kFnvOffset;
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= kFnvPrime;
    }
    return h;
}

// splitmix64: small, fast and identical on every platform, so a seed means the same directory
// everywhere (the standard distributions are not portable across library implementations).
struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed) {}
    uint64_t next() {
        uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(next() % n); }
    double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
    bool chance(double p) { return p > 0 && unit() < p; }
};

// Independent generators per purpose and user, so that switching an impairment on leaves the
// media, sequence numbers and timestamps of the other runs with the same seed untouched.
Rng rng_for(uint64_t seed, uint64_t purpose, uint64_t index) {
    Rng r(seed ^ (purpose * 0x9e3779b97f4a7c15ULL) ^ (index * 0xc2b2ae3d27d4eb4fULL));
    r.next();
    return r;
}
enum Purpose : uint64_t {
    kPurposeUid = 1,
    kPurposeRtp,
    kPurposeTiming,
    kPurposeImpair,
    kPurposePt121,
    kPurposeFile,
    kPurposeStray,
    kPurposeProbe,
    kPurposeRtx,
    kPurposeFlexfec,
    kPurposeDropPerFrame,
    kPurposeLead
};

void put_le32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put_le16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void put_le64(Bytes& b, uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put_be16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void put_be32(Bytes& b, uint32_t v) {
    for (int i = 3; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t get_be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
uint32_t get_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t get_le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint64_t get_le64(const uint8_t* p) {
    return static_cast<uint64_t>(get_le32(p)) | (static_cast<uint64_t>(get_le32(p + 4)) << 32);
}

// ------------------------------------------------------------------------------------------------
// Options

struct ImpairAt {
    int kind;
    int user;    // index into the user list, not the uid
    long index;  // index into that user's packet list before random impairments
};
struct FileSpot {
    int kind;
    long file;   // -1: the last file
    long value;  // bytes for stray, unused for cut-short
};

struct Options {
    std::string out;
    std::string prefix = "cap";
    std::string manifest = "manifest.txt";
    std::string save_sources;
    uint64_t seed = 1;
    double duration = 3.0;
    int video_users = 2;
    int audio_users = 2;
    std::vector<uint32_t> uids;
    int width = 320;
    int height = 240;
    int fps = 30;
    int video_kbps = 300;
    int keyframe_interval = 0;  // 0: 2 seconds of frames
    int mtu = 1200;
    std::string codec = "vp8";  // vp8, vp9, av1 or h264
    int clip_frames = 0;
    std::string video_in;
    std::string audio_in;
    double audio_frame_ms = 20;
    int channels = 1;
    int audio_kbps = 32;
    std::string signal = "tone";
    double tone_hz = 440;
    int video_pt = 96;
    int audio_pt = 111;
    std::vector<int> csrc = {1};
    std::vector<int> ext = {0};
    std::vector<int> padding = {0};
    std::vector<std::string> vp8_desc = {"pid15"};
    bool near_wrap = false;
    int files = 3;
    std::vector<int64_t> keys;
    double drop = 0, dup = 0, reorder = 0;
    bool impair_kind[2] = {true, true};
    std::vector<ImpairAt> drop_at;
    bool drop_per_frame = false;  // one media packet of every video frame
    int pt121 = 0;
    int probes = 0;
    long burst_after = -1;  // --probe-burst: the video packet the burst follows, -1 for none
    int burst = 0;
    // Wrappings of a WebRTC sender; -1: off. Each names the payload type it uses.
    int red_pt = -1;        // video inside RED
    int rtx_pt = -1;        // retransmissions on an RTX SSRC
    int ulpfec_pt = -1;     // ULPFEC inside RED, one packet per frame
    int flexfec_pt = -1;    // FlexFEC on an SSRC of its own, one packet per frame
    double fec_rate = 0;    // > 0: FEC packets per media packet, over groups spanning frames
    int audio_red_pt = -1;  // audio RED with the previous packet as redundancy
    double late = 0;        // rate of packets held back
    int late_by = 60;       // packets they are held back by
    double silence_at = 0, silence_sec = 0;  // audio not sent (the timestamps go on)
    bool restart = false;     // every sender restarts once: a new SSRC and timestamp base
    double restart_at = 0;    // seconds of media from each stream's first packet
    double restart_step = 0;  // seconds the timestamp base moves by (negative: back)
    std::vector<FileSpot> cut_short;
    std::vector<std::pair<int, long>> zero_record;  // kind, record index in the kind's stream
    std::vector<FileSpot> stray;
    bool quiet = false;
    // The recording clock's evidence (see --help); all off by default, so that a directory made
    // without them is byte for byte what it always was.
    int64_t epoch_ms = 1650598869000;  // --epoch: the recorder's time of capture time 0
    std::string time_names;            // --time-names s|ms|us: file keys are time values
    std::string lead;                  // --lead capture|zeros|junk; empty: ms from capture start
    bool sender_reports = false;       // --sender-reports: sender_reports.txt beside the files
    double camera_delay = 0;           // --camera-delay SEC: video starts SEC after the audio
    std::vector<std::pair<int, double>> join;     // --join U:SEC: user U's streams start SEC late
    double audio_drift_ppm = 0;                   // --audio-drift PPM: the audio clock runs fast
    double mic_pause_at = -1, mic_pause_sec = 0;  // --mic-pause AT:SEC: the audio clock stands
};

const char kHelp[] =
    "Usage: capture_synth --out DIR [options]\n"
    "\n"
    "Writes a work directory of capture files (<prefix>_<key>.video / .audio) the way the\n"
    "recorder does, and a manifest of the frames and packets a correct converter outputs.\n"
    "\n"
    "Output:\n"
    "  --out DIR              directory to write (created if missing)\n"
    "  --prefix NAME          capture file name prefix (default cap; must not hold '_' or '.')\n"
    "  --files N              files per kind (default 3)\n"
    "  --keys K1,K2,...       file keys in order (default 9,10,100,1000,...: numeric and text\n"
    "                         order differ)\n"
    "  --manifest NAME        manifest file name inside DIR (default manifest.txt)\n"
    "  --save-sources DIR     also write each user's sent media: video_<uid>.ivf, "
    "audio_<uid>.opus\n"
    "  --quiet                print nothing on success\n"
    "\n"
    "Users and timing:\n"
    "  --seed N               seed of every random choice (default 1)\n"
    "  --duration SEC         length of the capture (default 3)\n"
    "  --users N              users with video and audio (default 2)\n"
    "  --video-users N        users with video (default: --users); 0 writes no .video files\n"
    "  --audio-users N        users with audio (default: --users); 0 writes no .audio files\n"
    "  --uids U1,U2,...       user ids (default: seeded random 32-bit ids)\n"
    "  --near-wrap            start sequence numbers and timestamps just before they wrap\n"
    "\n"
    "Video (VP8, 90 kHz clock):\n"
    "  --width W --height H   picture size (default 320x240)\n"
    "  --fps N                frame rate (default 30)\n"
    "  --video-kbps N         encoder target bitrate (default 300)\n"
    "  --keyframe-interval N  frames between key frames (default 2 s worth)\n"
    "  --mtu BYTES            largest RTP packet, header included (default 1200)\n"
    "  --codec C              vp8 (libvpx), vp9 (libvpx, RFC 9628 non-flexible mode), av1\n"
    "                         (libaom, the AOM RTP format) or h264 (libx264, RFC 6184 mode 1:\n"
    "                         single NAL units, STAP-A, FU-A); default vp8. The manifest's\n"
    "                         video frames model VP8 only; --save-sources writes the sent\n"
    "                         frames as IVF (VP90, AV01 or H264 as its codec)\n"
    "  --video-in FILE.ivf    send the VP8 frames of this IVF file instead of encoding\n"
    "  --video-pt N           payload type (default 96)\n"
    "\n"
    "Audio (Opus, 48 kHz clock, one Opus packet per RTP packet):\n"
    "  --audio-frame-ms MS    2.5, 5, 10, 20, 40 or 60 (default 20)\n"
    "  --channels 1|2         (default 1)\n"
    "  --audio-kbps N         encoder bitrate (default 32)\n"
    "  --signal tone|chirp    test signal (default tone)\n"
    "  --tone-hz F            tone frequency, or chirp start (default 440)\n"
    "  --audio-in FILE.opus   send the packets of this Ogg Opus file instead of encoding\n"
    "  --audio-pt N           payload type (default 111)\n"
    "\n"
    "Fast generation of long captures:\n"
    "  --clip-frames N        encode only N video frames (and N/fps seconds of audio) once,\n"
    "                         shared by all users, and send them over and over with advancing\n"
    "                         timestamps until --duration is reached. Without it every user\n"
    "                         gets an encode of its own of the whole duration. Input files\n"
    "                         (--video-in, --audio-in) are cycled the same way.\n"
    "                         Example, about 1 GiB: --duration 540 --users 8 --width 640\n"
    "                         --height 480 --video-kbps 2000 --mtu 1200 --files 20\n"
    "                         --clip-frames 300\n"
    "\n"
    "RTP header variants (comma lists, taken per user in turn, the last one repeating):\n"
    "  --csrc N,...           CSRC count 0..15 (default 1: a 16-byte header)\n"
    "  --ext N,...            one-byte header extension elements (RFC 8285), 0..4 (default 0)\n"
    "  --padding N,...        padding bytes 0..255, 0 for none (default 0)\n"
    "  --vp8-desc M,...       VP8 payload descriptor: none (1 byte), pid7, pid15, full\n"
    "                         (I with 15-bit picture id, L, T, K), lk (L and K, no picture id)\n"
    "                         (default pid15)\n"
    "\n"
    "Impairments (seeded; all off by default):\n"
    "  --drop P --dup P --reorder P   rates 0..1 per packet (reorder swaps neighbours)\n"
    "  --impair video|audio|both      which kinds the three rates apply to (default both)\n"
    "  --drop-at KIND:USER:I  drop packet I (0-based, before other impairments) of user\n"
    "                         index USER (0-based); repeatable\n"
    "  --drop-per-frame       drop one media packet (a seeded choice) of every video frame but\n"
    "                         the stream's first and last packets, before other impairments:\n"
    "                         what one FEC packet per frame rebuilds\n"
    "  --late P[:D]           hold back a packet (rate P) by D packets (default 60): a late\n"
    "                         retransmission; applied after --reorder\n"
    "  --probe N              insert N packets of padding only (bandwidth probes) into each\n"
    "                         video stream; they take sequence numbers like any packet\n"
    "  --probe-burst I:N      insert N probes right after video packet I (0-based, media and\n"
    "                         FEC packets counted) of each stream, with its payload type and\n"
    "                         timestamp: a pacer's burst after a short first key frame\n"
    "  --silence START:SEC    send no audio from START for SEC seconds (silence suppression);\n"
    "                         the timestamps go on, the first packet after it has the marker\n"
    "  --restart AT:SEC       every sender restarts at AT seconds of its media: from there on\n"
    "                         its packets carry another SSRC and their RTP timestamps move by\n"
    "                         SEC seconds of the stream's clock (negative: back); sequence\n"
    "                         numbers go on\n"
    "  --camera-delay SEC     every user's video starts SEC seconds after its audio\n"
    "  --join U:SEC           user U (0-based) joins SEC seconds late (both kinds); repeatable\n"
    "  --audio-drift PPM      the senders' audio clocks run PPM fast against true time (their\n"
    "                         packets come 1 + PPM/1e6 times as often)\n"
    "  --mic-pause AT:SEC     the microphone is detached at AT seconds of audio for SEC seconds:\n"
    "                         nothing is sent, and the RTP clock stands still meanwhile\n"
    "  --epoch MS             the recorder's time of capture time 0, ms since 1970\n"
    "                         (default 1650598869000)\n"
    "  --time-names s|ms|us   file keys are the time of each file's first record in that unit\n"
    "                         (replaces --keys)\n"
    "  --lead capture|zeros|junk   the audio records' 8-byte leading field: capture time in us\n"
    "                         since 1970, zeros or random bytes (default: ms since capture\n"
    "                         start)\n"
    "  --sender-reports       write sender_reports.txt: one RTCP sender report per stream and\n"
    "                         second (NTP time of the sender's clock, the RTP time it\n"
    "                         extrapolates, the capture time 1 ms later)\n"
    "  --pt121 N              insert N packets of payload type 121 into each video stream;\n"
    "                         they take sequence numbers like any packet of the stream\n"
    "  --cut-short KIND[:F]   cut the last record of file F (0-based, default last) short\n"
    "  --zero-record KIND:I   insert a record of Length 0 before record I of the kind's stream\n"
    "  --stray KIND:F:N       append N stray bytes (never a whole record) to file F\n"
    "  KIND is video or audio; F may be 'last'.\n"
    "\n"
    "Wrappings of a WebRTC sender (off by default; each takes the payload type to use):\n"
    "  --red-pt N             every VP8 packet inside RED (RFC 2198), one block\n"
    "  --rtx-pt N             an RTX SSRC (RFC 4588): 6 padding probes at the start (the first\n"
    "                         with timestamp 0; 283 bytes with --csrc 0 --ext 3, as a "
    "browser's),\n"
    "                         copies of the first 3 packets (8, 3 and 1 times), and a\n"
    "                         retransmission of every video packet --drop and --drop-at lose\n"
    "  --ulpfec-pt N          one ULPFEC packet (RFC 5109) inside RED after each frame, over "
    "the\n"
    "                         frame's packets as unwrapped; needs --red-pt\n"
    "  --flexfec-pt N         one FlexFEC packet (libwebrtc's draft 03 form) after each frame "
    "on\n"
    "                         an SSRC of its own\n"
    "  --fec-rate R           with --ulpfec-pt or --flexfec-pt, send FEC the way Chromium does:\n"
    "                         after every 3 frames (or 24 media packets), ceil(R x M) FEC\n"
    "                         packets over those M packets, each over every so-manieth of them,\n"
    "                         so that groups span frames (0 < R <= 1; R = 0.65 is Chromium's\n"
    "                         density at 3% loss)\n"
    "  --audio-red-pt N       audio inside RED, each packet carrying the previous one\n"
    "  With any of them the manifest lists the media as sent, which --repair restores.\n"
    "\n"
    "The manifest lists, per user and kind that the converter makes a file for, each VP8 frame\n"
    "that survives (RTP timestamp, size, FNV-1a 64 of its bytes) and each Opus packet written\n"
    "(size, hash, samples at 48 kHz, RTP sequence number), in output order.\n"
    "The work directory path given to the converter must end in '/' and hold no '_'.\n"
    "Exit status: 0 on success, 1 when generation fails, 2 for bad arguments.\n";

long parse_long(const std::string& opt, const std::string& v, long lo, long hi) {
    char* end = nullptr;
    errno = 0;
    long r = strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || errno != 0 || r < lo || r > hi)
        throw UsageError(opt + ": expected a whole number from " + std::to_string(lo) + " to " +
                         std::to_string(hi) + ", got '" + v + "'");
    return r;
}
double parse_double(const std::string& opt, const std::string& v, double lo, double hi) {
    char* end = nullptr;
    errno = 0;
    double r = strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || errno != 0 || !(r >= lo && r <= hi))
        throw UsageError(opt + ": expected a number from " + std::to_string(lo) + " to " +
                         std::to_string(hi) + ", got '" + v + "'");
    return r;
}
std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t p = s.find(sep, start);
        parts.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos) break;
        start = p + 1;
    }
    return parts;
}
std::vector<int> parse_int_list(const std::string& opt, const std::string& v, int lo, int hi) {
    std::vector<int> r;
    for (const auto& p : split(v, ',')) r.push_back(static_cast<int>(parse_long(opt, p, lo, hi)));
    return r;
}
int parse_kind(const std::string& opt, const std::string& v) {
    if (v == "video") return kVideo;
    if (v == "audio") return kAudio;
    throw UsageError(opt + ": kind must be video or audio, got '" + v + "'");
}
long parse_file_index(const std::string& opt, const std::string& v) {
    if (v == "last") return -1;
    return parse_long(opt, v, 0, 1000000);
}

Options parse_args(int argc, char** argv, bool* help) {
    Options o;
    bool users_set[2] = {false, false};
    int users = 2;
    bool files_set = false;
    *help = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string v;
        bool has_inline = false;
        if (a.rfind("--", 0) == 0) {
            size_t eq = a.find('=');
            if (eq != std::string::npos) {
                v = a.substr(eq + 1);
                a = a.substr(0, eq);
                has_inline = true;
            }
        }
        auto flag = [&]() {
            if (has_inline) throw UsageError(a + " takes no value");
        };
        auto value = [&]() -> std::string {
            if (has_inline) return v;
            if (i + 1 >= argc) throw UsageError(a + " needs a value");
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            *help = true;
            return o;
        } else if (a == "--out") {
            o.out = value();
        } else if (a == "--prefix") {
            o.prefix = value();
            if (o.prefix.find_first_of("_./") != std::string::npos)
                throw UsageError(
                    "--prefix must not hold '_', '.' or '/': the key follows the "
                    "first '_' of the path");
        } else if (a == "--manifest") {
            o.manifest = value();
        } else if (a == "--save-sources") {
            o.save_sources = value();
        } else if (a == "--seed") {
            std::string s = value();
            char* end = nullptr;
            errno = 0;
            o.seed = strtoull(s.c_str(), &end, 10);
            if (s.empty() || *end || errno || s[0] == '-')
                throw UsageError("--seed: expected an unsigned number, got '" + s + "'");
        } else if (a == "--duration") {
            o.duration = parse_double(a, value(), 0.01, 86400);
        } else if (a == "--users") {
            users = static_cast<int>(parse_long(a, value(), 0, 1000));
        } else if (a == "--video-users") {
            o.video_users = static_cast<int>(parse_long(a, value(), 0, 1000));
            users_set[kVideo] = true;
        } else if (a == "--audio-users") {
            o.audio_users = static_cast<int>(parse_long(a, value(), 0, 1000));
            users_set[kAudio] = true;
        } else if (a == "--uids") {
            o.uids.clear();
            for (const auto& p : split(value(), ',')) {
                char* end = nullptr;
                errno = 0;
                unsigned long long u = strtoull(p.c_str(), &end, 10);
                if (p.empty() || *end || errno || p[0] == '-' || u > 0xFFFFFFFFULL)
                    throw UsageError("--uids: '" + p + "' is not a 32-bit unsigned user id");
                if (std::find(o.uids.begin(), o.uids.end(), u) != o.uids.end())
                    throw UsageError("--uids: user id " + p + " given twice");
                o.uids.push_back(static_cast<uint32_t>(u));
            }
        } else if (a == "--width") {
            o.width = static_cast<int>(parse_long(a, value(), 16, 4096));
        } else if (a == "--height") {
            o.height = static_cast<int>(parse_long(a, value(), 16, 4096));
        } else if (a == "--fps") {
            o.fps = static_cast<int>(parse_long(a, value(), 1, 240));
        } else if (a == "--video-kbps") {
            o.video_kbps = static_cast<int>(parse_long(a, value(), 10, 100000));
        } else if (a == "--keyframe-interval") {
            o.keyframe_interval = static_cast<int>(parse_long(a, value(), 1, 100000));
        } else if (a == "--codec") {
            o.codec = value();
            if (o.codec != "vp8" && o.codec != "vp9" && o.codec != "av1" && o.codec != "h264")
                throw UsageError("--codec: must be vp8, vp9, av1 or h264, got '" + o.codec + "'");
        } else if (a == "--mtu") {
            o.mtu = static_cast<int>(parse_long(a, value(), 100, 65000));
        } else if (a == "--clip-frames") {
            o.clip_frames = static_cast<int>(parse_long(a, value(), 1, 1000000));
        } else if (a == "--video-in") {
            o.video_in = value();
        } else if (a == "--audio-in") {
            o.audio_in = value();
        } else if (a == "--audio-frame-ms") {
            std::string s = value();
            double ms = parse_double(a, s, 2.5, 60);
            if (ms != 2.5 && ms != 5 && ms != 10 && ms != 20 && ms != 40 && ms != 60)
                throw UsageError("--audio-frame-ms: must be 2.5, 5, 10, 20, 40 or 60, got '" + s +
                                 "'");
            o.audio_frame_ms = ms;
        } else if (a == "--channels") {
            o.channels = static_cast<int>(parse_long(a, value(), 1, 2));
        } else if (a == "--audio-kbps") {
            o.audio_kbps = static_cast<int>(parse_long(a, value(), 6, 510));
        } else if (a == "--signal") {
            o.signal = value();
            if (o.signal != "tone" && o.signal != "chirp")
                throw UsageError("--signal: must be tone or chirp, got '" + o.signal + "'");
        } else if (a == "--tone-hz") {
            o.tone_hz = parse_double(a, value(), 20, 20000);
        } else if (a == "--video-pt") {
            o.video_pt = static_cast<int>(parse_long(a, value(), 0, 127));
        } else if (a == "--audio-pt") {
            o.audio_pt = static_cast<int>(parse_long(a, value(), 0, 127));
        } else if (a == "--csrc") {
            o.csrc = parse_int_list(a, value(), 0, 15);
        } else if (a == "--ext") {
            o.ext = parse_int_list(a, value(), 0, 4);
        } else if (a == "--padding") {
            o.padding = parse_int_list(a, value(), 0, 255);
        } else if (a == "--vp8-desc") {
            o.vp8_desc = split(value(), ',');
            for (const auto& m : o.vp8_desc)
                if (m != "none" && m != "pid7" && m != "pid15" && m != "full" && m != "lk")
                    throw UsageError("--vp8-desc: unknown mode '" + m +
                                     "' (none, pid7, pid15, full, lk)");
        } else if (a == "--near-wrap") {
            flag();
            o.near_wrap = true;
        } else if (a == "--files") {
            o.files = static_cast<int>(parse_long(a, value(), 1, 100000));
            files_set = true;
        } else if (a == "--keys") {
            o.keys.clear();
            for (const auto& p : split(value(), ',')) {
                char* end = nullptr;
                errno = 0;
                long long k = strtoll(p.c_str(), &end, 10);
                if (p.empty() || *end || errno)
                    throw UsageError("--keys: '" + p + "' is not a 64-bit signed number");
                if (!o.keys.empty() && k <= o.keys.back())
                    throw UsageError("--keys: keys must increase");
                o.keys.push_back(k);
            }
        } else if (a == "--drop") {
            o.drop = parse_double(a, value(), 0, 1);
        } else if (a == "--dup") {
            o.dup = parse_double(a, value(), 0, 1);
        } else if (a == "--reorder") {
            o.reorder = parse_double(a, value(), 0, 1);
        } else if (a == "--impair") {
            std::string s = value();
            if (s == "both") {
                o.impair_kind[kVideo] = o.impair_kind[kAudio] = true;
            } else {
                int k = parse_kind(a, s);
                o.impair_kind[k] = true;
                o.impair_kind[1 - k] = false;
            }
        } else if (a == "--drop-per-frame") {
            o.drop_per_frame = true;
        } else if (a == "--drop-at") {
            auto p = split(value(), ':');
            if (p.size() != 3) throw UsageError("--drop-at: expected KIND:USER:INDEX");
            o.drop_at.push_back({parse_kind(a, p[0]), static_cast<int>(parse_long(a, p[1], 0, 999)),
                                 parse_long(a, p[2], 0, 1L << 40)});
        } else if (a == "--late") {
            auto p = split(value(), ':');
            if (p.size() > 2) throw UsageError("--late: expected P[:D]");
            o.late = parse_double(a, p[0], 0, 1);
            if (p.size() == 2) o.late_by = static_cast<int>(parse_long(a, p[1], 1, 100000));
        } else if (a == "--probe") {
            o.probes = static_cast<int>(parse_long(a, value(), 0, 100000));
        } else if (a == "--probe-burst") {
            auto p = split(value(), ':');
            if (p.size() != 2) throw UsageError("--probe-burst: expected I:N");
            o.burst_after = parse_long(a, p[0], 0, 1L << 40);
            o.burst = static_cast<int>(parse_long(a, p[1], 0, 100000));
        } else if (a == "--silence") {
            auto p = split(value(), ':');
            if (p.size() != 2) throw UsageError("--silence: expected START:SEC");
            o.silence_at = parse_double(a, p[0], 0, 1e6);
            o.silence_sec = parse_double(a, p[1], 0, 1e6);
        } else if (a == "--restart") {
            auto p = split(value(), ':');
            if (p.size() != 2) throw UsageError("--restart: expected AT:SEC");
            o.restart = true;
            o.restart_at = parse_double(a, p[0], 0, 1e6);
            o.restart_step = parse_double(a, p[1], -1e6, 1e6);
        } else if (a == "--red-pt") {
            o.red_pt = static_cast<int>(parse_long(a, value(), 0, 127));
        } else if (a == "--rtx-pt") {
            o.rtx_pt = static_cast<int>(parse_long(a, value(), 0, 127));
        } else if (a == "--ulpfec-pt") {
            o.ulpfec_pt = static_cast<int>(parse_long(a, value(), 0, 127));
        } else if (a == "--flexfec-pt") {
            o.flexfec_pt = static_cast<int>(parse_long(a, value(), 0, 127));
        } else if (a == "--fec-rate") {
            o.fec_rate = parse_double(a, value(), 0.01, 1);
        } else if (a == "--audio-red-pt") {
            o.audio_red_pt = static_cast<int>(parse_long(a, value(), 0, 127));
        } else if (a == "--pt121") {
            o.pt121 = static_cast<int>(parse_long(a, value(), 0, 100000));
        } else if (a == "--cut-short") {
            auto p = split(value(), ':');
            if (p.size() > 2) throw UsageError("--cut-short: expected KIND[:FILE]");
            o.cut_short.push_back(
                {parse_kind(a, p[0]), p.size() == 2 ? parse_file_index(a, p[1]) : -1, 0});
        } else if (a == "--zero-record") {
            auto p = split(value(), ':');
            if (p.size() != 2) throw UsageError("--zero-record: expected KIND:INDEX");
            o.zero_record.emplace_back(parse_kind(a, p[0]), parse_long(a, p[1], 0, 1L << 40));
        } else if (a == "--stray") {
            auto p = split(value(), ':');
            if (p.size() != 3) throw UsageError("--stray: expected KIND:FILE:BYTES");
            o.stray.push_back(
                {parse_kind(a, p[0]), parse_file_index(a, p[1]), parse_long(a, p[2], 1, 1 << 20)});
        } else if (a == "--camera-delay") {
            o.camera_delay = parse_double(a, value(), 0, 86400);
        } else if (a == "--join") {
            auto p = split(value(), ':');
            if (p.size() != 2) throw UsageError("--join: expected USER:SEC");
            o.join.emplace_back(static_cast<int>(parse_long(a, p[0], 0, 1 << 20)),
                                parse_double(a, p[1], 0, 86400));
        } else if (a == "--audio-drift") {
            o.audio_drift_ppm = parse_double(a, value(), -10000, 10000);
        } else if (a == "--mic-pause") {
            auto p = split(value(), ':');
            if (p.size() != 2) throw UsageError("--mic-pause: expected AT:SEC");
            o.mic_pause_at = parse_double(a, p[0], 0, 86400);
            o.mic_pause_sec = parse_double(a, p[1], 0, 86400);
        } else if (a == "--epoch") {
            o.epoch_ms = parse_long(a, value(), 0, 4102444800000L);
        } else if (a == "--time-names") {
            o.time_names = value();
            if (o.time_names != "s" && o.time_names != "ms" && o.time_names != "us")
                throw UsageError("--time-names: expected s, ms or us");
        } else if (a == "--lead") {
            o.lead = value();
            if (o.lead != "capture" && o.lead != "zeros" && o.lead != "junk")
                throw UsageError("--lead: expected capture, zeros or junk");
        } else if (a == "--sender-reports") {
            flag();
            o.sender_reports = true;
        } else if (a == "--quiet") {
            flag();
            o.quiet = true;
        } else {
            throw UsageError("unknown argument '" + a + "' (see --help)");
        }
    }
    if (o.out.empty()) throw UsageError("--out DIR is required (see --help)");
    if (o.ulpfec_pt >= 0 && o.red_pt < 0) throw UsageError("--ulpfec-pt needs --red-pt");
    if (o.fec_rate > 0 && o.ulpfec_pt < 0 && o.flexfec_pt < 0)
        throw UsageError("--fec-rate needs --ulpfec-pt or --flexfec-pt");
    if (!users_set[kVideo]) o.video_users = users;
    if (!users_set[kAudio]) o.audio_users = users;
    if (o.keys.empty()) {
        // 9, 10, 100, 1000, ...: "10" < "100" < "9" as text, the other way round as numbers.
        int64_t k = 9;
        for (int i = 0; i < o.files; ++i) {
            o.keys.push_back(k);
            k = (k < 100000000000000000LL) ? (k == 9 ? 10 : k * 10) : k + 1;
        }
    } else if (files_set && static_cast<int>(o.keys.size()) != o.files) {
        throw UsageError("--keys: " + std::to_string(o.files) + " keys needed, " +
                         std::to_string(o.keys.size()) + " given");
    } else {
        o.files = static_cast<int>(o.keys.size());
    }
    size_t nusers = static_cast<size_t>(std::max(o.video_users, o.audio_users));
    if (!o.uids.empty() && o.uids.size() < nusers)
        throw UsageError("--uids: " + std::to_string(nusers) + " user ids needed, " +
                         std::to_string(o.uids.size()) + " given");
    for (const auto& d : o.drop_at)
        if (d.user >= (d.kind == kVideo ? o.video_users : o.audio_users))
            throw UsageError("--drop-at: user index " + std::to_string(d.user) + " out of range");
    return o;
}

template <typename T>
const T& per_user(const std::vector<T>& list, size_t user) {
    return list[std::min(user, list.size() - 1)];
}

// ------------------------------------------------------------------------------------------------
// Media sources

struct Frame {
    Bytes data;
    uint32_t duration;  // in RTP clock ticks (90 kHz video, 48 kHz audio)
};

struct Clip {
    std::vector<Frame> frames;
    int width = 0, height = 0;
    int fps = 0;
    int channels = 1;
    int preskip = 0;
};

// The test picture of frame `f`: a diagonal ramp that scrolls, with a bright box moving across
// it; the colours differ per user so that every user's stream has bytes of its own.
void fill_picture(const Options& o, int f, int user, uint8_t* const planes[3],
                  const int strides[3]) {
    const int box = std::max(8, o.width / 5);
    const int bx = (f * 4) % std::max(1, o.width - box);
    const int by = (o.height - box) / 2 + static_cast<int>(20 * std::sin(f * 0.1));
    for (int y = 0; y < o.height; ++y) {
        uint8_t* row = planes[0] + y * strides[0];
        for (int x = 0; x < o.width; ++x) {
            bool in_box = x >= bx && x < bx + box && y >= by && y < by + box;
            row[x] = in_box ? 235 : static_cast<uint8_t>(16 + ((x + y + 3 * f) & 0x7F));
        }
    }
    for (int p = 1; p <= 2; ++p) {
        const int w = (o.width + 1) / 2, h = (o.height + 1) / 2;
        for (int y = 0; y < h; ++y) {
            uint8_t* row = planes[p] + y * strides[p];
            for (int x = 0; x < w; ++x)
                row[x] = static_cast<uint8_t>(128 + (p == 1 ? 1 : -1) * (user * 23 % 90) +
                                              ((x + f) & 15));
        }
    }
}

unsigned keyframe_distance(const Options& o) {
    return static_cast<unsigned>(o.keyframe_interval > 0 ? o.keyframe_interval : 2 * o.fps);
}

std::vector<Frame> encode_vpx(const Options& o, int frames, int user, bool vp9) {
    vpx_codec_iface_t* iface = vp9 ? vpx_codec_vp9_cx() : vpx_codec_vp8_cx();
    vpx_codec_enc_cfg_t cfg;
    if (vpx_codec_enc_config_default(iface, &cfg, 0) != VPX_CODEC_OK)
        throw RunError("libvpx: no default encoder configuration");
    cfg.g_w = static_cast<unsigned>(o.width);
    cfg.g_h = static_cast<unsigned>(o.height);
    cfg.g_timebase.num = 1;
    cfg.g_timebase.den = o.fps;
    cfg.g_threads = 1;
    cfg.g_lag_in_frames = 0;
    cfg.rc_end_usage = VPX_CBR;
    cfg.rc_target_bitrate = static_cast<unsigned>(o.video_kbps);
    cfg.rc_dropframe_thresh = 0;  // one coded frame per picture keeps timestamps regular
    cfg.kf_mode = VPX_KF_AUTO;
    cfg.kf_min_dist = 0;
    cfg.kf_max_dist = keyframe_distance(o);

    vpx_codec_ctx_t codec;
    if (vpx_codec_enc_init(&codec, iface, &cfg, 0) != VPX_CODEC_OK)
        throw RunError(std::string("libvpx: cannot open the encoder: ") + vpx_codec_error(&codec));
    // A negative value fixes the speed; a positive one lets libvpx adapt it to the time each
    // frame takes, which would make the bytes depend on the machine's load.
    vpx_codec_control(&codec, VP8E_SET_CPUUSED, vp9 ? 8 : -8);
    vpx_image_t img;
    if (!vpx_img_alloc(&img, VPX_IMG_FMT_I420, cfg.g_w, cfg.g_h, 16)) {
        vpx_codec_destroy(&codec);
        throw RunError("libvpx: cannot allocate a picture");
    }
    std::vector<Frame> out;
    const uint32_t ticks = 90000 / static_cast<uint32_t>(o.fps);
    std::string error;
    for (int f = 0; f <= frames && error.empty(); ++f) {
        const bool flushing = f == frames;
        if (!flushing) fill_picture(o, f, user, img.planes, img.stride);
        if (vpx_codec_encode(&codec, flushing ? nullptr : &img, f, 1, 0, VPX_DL_REALTIME) !=
            VPX_CODEC_OK) {
            error = std::string("libvpx: encoding failed: ") + vpx_codec_error(&codec);
            break;
        }
        vpx_codec_iter_t iter = nullptr;
        while (const vpx_codec_cx_pkt_t* pkt = vpx_codec_get_cx_data(&codec, &iter)) {
            if (pkt->kind != VPX_CODEC_CX_FRAME_PKT) continue;
            const uint8_t* d = static_cast<const uint8_t*>(pkt->data.frame.buf);
            Frame fr;
            fr.data.assign(d, d + pkt->data.frame.sz);
            fr.duration = ticks;
            out.push_back(std::move(fr));
        }
    }
    vpx_img_free(&img);
    vpx_codec_destroy(&codec);
    if (!error.empty()) throw RunError(error);
    if (out.empty()) throw RunError("libvpx: the encoder produced no frame");
    return out;
}

std::vector<Frame> encode_av1(const Options& o, int frames, int user) {
    aom_codec_iface_t* iface = aom_codec_av1_cx();
    aom_codec_enc_cfg_t cfg;
    if (aom_codec_enc_config_default(iface, &cfg, AOM_USAGE_REALTIME) != AOM_CODEC_OK)
        throw RunError("libaom: no default encoder configuration");
    cfg.g_w = static_cast<unsigned>(o.width);
    cfg.g_h = static_cast<unsigned>(o.height);
    cfg.g_timebase.num = 1;
    cfg.g_timebase.den = o.fps;
    cfg.g_threads = 1;
    cfg.g_lag_in_frames = 0;
    cfg.rc_end_usage = AOM_CBR;
    cfg.rc_target_bitrate = static_cast<unsigned>(o.video_kbps);
    cfg.rc_dropframe_thresh = 0;
    cfg.kf_mode = AOM_KF_AUTO;
    cfg.kf_min_dist = 0;
    cfg.kf_max_dist = keyframe_distance(o);
    aom_codec_ctx_t codec;
    if (aom_codec_enc_init(&codec, iface, &cfg, 0) != AOM_CODEC_OK)
        throw RunError(std::string("libaom: cannot open the encoder: ") + aom_codec_error(&codec));
    aom_codec_control(&codec, AOME_SET_CPUUSED, 9);
    aom_image_t img;
    if (!aom_img_alloc(&img, AOM_IMG_FMT_I420, cfg.g_w, cfg.g_h, 16)) {
        aom_codec_destroy(&codec);
        throw RunError("libaom: cannot allocate a picture");
    }
    std::vector<Frame> out;
    const uint32_t ticks = 90000 / static_cast<uint32_t>(o.fps);
    std::string error;
    for (int f = 0; f <= frames && error.empty(); ++f) {
        const bool flushing = f == frames;
        if (!flushing) fill_picture(o, f, user, img.planes, img.stride);
        if (aom_codec_encode(&codec, flushing ? nullptr : &img, f, 1, 0) != AOM_CODEC_OK) {
            error = std::string("libaom: encoding failed: ") + aom_codec_error(&codec);
            break;
        }
        aom_codec_iter_t iter = nullptr;
        while (const aom_codec_cx_pkt_t* pkt = aom_codec_get_cx_data(&codec, &iter)) {
            if (pkt->kind != AOM_CODEC_CX_FRAME_PKT) continue;
            const uint8_t* d = static_cast<const uint8_t*>(pkt->data.frame.buf);
            Frame fr;
            fr.data.assign(d, d + pkt->data.frame.sz);
            fr.duration = ticks;
            out.push_back(std::move(fr));
        }
    }
    aom_img_free(&img);
    aom_codec_destroy(&codec);
    if (!error.empty()) throw RunError(error);
    if (out.empty()) throw RunError("libaom: the encoder produced no frame");
    return out;
}

std::vector<Frame> encode_h264(const Options& o, int frames, int user) {
    x264_param_t param;
    if (x264_param_default_preset(&param, "ultrafast", "zerolatency") != 0)
        throw RunError("libx264: no preset");
    param.i_threads = 1;
    param.i_log_level = X264_LOG_NONE;
    param.i_width = o.width;
    param.i_height = o.height;
    param.i_csp = X264_CSP_I420;
    param.i_fps_num = static_cast<uint32_t>(o.fps);
    param.i_fps_den = 1;
    param.i_keyint_max = static_cast<int>(keyframe_distance(o));
    param.b_repeat_headers = 1;
    param.b_annexb = 1;
    param.rc.i_rc_method = X264_RC_ABR;
    param.rc.i_bitrate = o.video_kbps;
    x264_param_apply_profile(&param, "baseline");
    x264_t* enc = x264_encoder_open(&param);
    if (!enc) throw RunError("libx264: cannot open the encoder");
    x264_picture_t pic, out_pic;
    if (x264_picture_alloc(&pic, X264_CSP_I420, o.width, o.height) != 0) {
        x264_encoder_close(enc);
        throw RunError("libx264: cannot allocate a picture");
    }
    std::vector<Frame> out;
    const uint32_t ticks = 90000 / static_cast<uint32_t>(o.fps);
    auto take = [&](x264_nal_t* nals, int n) {
        Frame fr;
        for (int i = 0; i < n; ++i)
            fr.data.insert(fr.data.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
        fr.duration = ticks;
        if (!fr.data.empty()) out.push_back(std::move(fr));
    };
    for (int f = 0; f < frames; ++f) {
        fill_picture(o, f, user, pic.img.plane, pic.img.i_stride);
        pic.i_pts = f;
        x264_nal_t* nals = nullptr;
        int n = 0;
        if (x264_encoder_encode(enc, &nals, &n, &pic, &out_pic) < 0) break;
        take(nals, n);
    }
    while (x264_encoder_delayed_frames(enc) > 0) {
        x264_nal_t* nals = nullptr;
        int n = 0;
        if (x264_encoder_encode(enc, &nals, &n, nullptr, &out_pic) < 0) break;
        take(nals, n);
    }
    x264_picture_clean(&pic);
    x264_encoder_close(enc);
    if (out.empty()) throw RunError("libx264: the encoder produced no frame");
    return out;
}

std::vector<Frame> encode_video(const Options& o, int frames, int user) {
    if (o.codec == "vp9") return encode_vpx(o, frames, user, true);
    if (o.codec == "av1") return encode_av1(o, frames, user);
    if (o.codec == "h264") return encode_h264(o, frames, user);
    return encode_vpx(o, frames, user, false);
}

std::vector<Frame> encode_opus(const Options& o, double seconds, int user, int* preskip) {
    int err = 0;
    OpusEncoder* enc = opus_encoder_create(48000, o.channels, OPUS_APPLICATION_AUDIO, &err);
    if (!enc || err != OPUS_OK) throw RunError(std::string("libopus: ") + opus_strerror(err));
    opus_encoder_ctl(enc, OPUS_SET_BITRATE(o.audio_kbps * 1000));
    opus_int32 lookahead = 0;
    opus_encoder_ctl(enc, OPUS_GET_LOOKAHEAD(&lookahead));
    *preskip = lookahead;
    const int spf = static_cast<int>(std::lround(o.audio_frame_ms * 48));
    const long count = std::max(1L, std::lround(seconds * 48000.0 / spf));
    std::vector<opus_int16> pcm(static_cast<size_t>(spf * o.channels));
    std::vector<Frame> out;
    unsigned char buf[4000];
    const double base_hz = o.tone_hz * (1.0 + 0.25 * user);
    double phase = 0;
    long n = 0;
    for (long p = 0; p < count; ++p) {
        for (int i = 0; i < spf; ++i, ++n) {
            double t = n / 48000.0;
            double hz = base_hz;
            if (o.signal == "chirp") hz = base_hz * std::pow(8.0, std::fmod(t, 2.0) / 2.0);
            phase += 2 * M_PI * hz / 48000.0;
            for (int c = 0; c < o.channels; ++c)
                pcm[static_cast<size_t>(i * o.channels + c)] =
                    static_cast<opus_int16>(9000 * std::sin(phase * (c + 1)));
        }
        opus_int32 len = opus_encode(enc, pcm.data(), spf, buf, sizeof buf);
        if (len < 0) {
            opus_encoder_destroy(enc);
            throw RunError(std::string("libopus: encoding failed: ") + opus_strerror(len));
        }
        Frame fr;
        fr.data.assign(buf, buf + len);
        fr.duration = static_cast<uint32_t>(spf);
        out.push_back(std::move(fr));
    }
    opus_encoder_destroy(enc);
    return out;
}

Bytes read_file(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) throw RunError("cannot open " + path + ": " + strerror(errno));
    Bytes b;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
    bool bad = ferror(f);
    fclose(f);
    if (bad) throw RunError("cannot read " + path);
    return b;
}

Clip read_ivf(const std::string& path, int fallback_fps) {
    Bytes b = read_file(path);
    if (b.size() < 32 || memcmp(b.data(), "DKIF", 4) != 0)
        throw RunError(path + ": not an IVF file");
    if (memcmp(b.data() + 8, "VP80", 4) != 0) throw RunError(path + ": IVF codec is not VP80");
    Clip c;
    c.width = get_le16(&b[12]);
    c.height = get_le16(&b[14]);
    uint32_t rate = get_le32(&b[16]), scale = get_le32(&b[20]);
    size_t pos = get_le16(&b[6]);
    if (pos < 32) pos = 32;
    std::vector<uint64_t> pts;
    while (pos + 12 <= b.size()) {
        uint32_t size = get_le32(&b[pos]);
        uint64_t ts = get_le64(&b[pos + 4]);
        pos += 12;
        if (size > b.size() - pos) break;  // a cut-short last frame is left out
        Frame fr;
        fr.data.assign(b.begin() + static_cast<long>(pos),
                       b.begin() + static_cast<long>(pos + size));
        c.frames.push_back(std::move(fr));
        pts.push_back(ts);
        pos += size;
    }
    if (c.frames.empty()) throw RunError(path + ": no VP8 frame in the file");
    // Timestamps in the file's time base become 90 kHz spacing; a clip whose time base or pts
    // make no sense falls back to a regular frame rate.
    bool regular = rate == 0 || scale == 0;
    for (size_t i = 1; i < pts.size() && !regular; ++i) regular = pts[i] <= pts[i - 1];
    const uint32_t fallback = 90000 / static_cast<uint32_t>(fallback_fps);
    uint32_t last_gap = fallback;
    for (size_t i = 0; i < c.frames.size(); ++i) {
        if (!regular && i + 1 < pts.size()) {
            double gap = static_cast<double>(pts[i + 1] - pts[i]) * 90000.0 * scale / rate;
            last_gap = static_cast<uint32_t>(std::max(1.0, std::min(gap, 900000.0)));
        } else if (regular) {
            last_gap = fallback;
        }
        c.frames[i].duration = last_gap;
    }
    c.fps = (!regular && pts.size() > 1) ? static_cast<int>(std::max(1u, 90000 / last_gap))
                                         : fallback_fps;
    return c;
}

Clip read_ogg_opus(const std::string& path) {
    Bytes b = read_file(path);
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char* buf = ogg_sync_buffer(&sync, static_cast<long>(b.size()));
    memcpy(buf, b.data(), b.size());
    ogg_sync_wrote(&sync, static_cast<long>(b.size()));
    ogg_stream_state stream;
    bool have_stream = false;
    Clip c;
    int npackets = 0;
    ogg_page page;
    std::string error;
    while (ogg_sync_pageout(&sync, &page) == 1) {
        if (!have_stream) {
            ogg_stream_init(&stream, ogg_page_serialno(&page));
            have_stream = true;
        }
        if (ogg_page_serialno(&page) != stream.serialno) continue;  // first stream only
        ogg_stream_pagein(&stream, &page);
        ogg_packet op;
        while (ogg_stream_packetout(&stream, &op) == 1) {
            ++npackets;
            if (npackets == 1) {
                if (op.bytes < 19 || memcmp(op.packet, "OpusHead", 8) != 0) {
                    error = path + ": first packet is not OpusHead";
                    break;
                }
                c.channels = op.packet[9];
                c.preskip = get_le16(op.packet + 10);
                continue;
            }
            if (npackets == 2) continue;  // OpusTags
            int samples =
                opus_packet_get_nb_samples(op.packet, static_cast<opus_int32>(op.bytes), 48000);
            if (samples <= 0) continue;  // a packet libopus cannot size is not sent
            Frame fr;
            fr.data.assign(op.packet, op.packet + op.bytes);
            fr.duration = static_cast<uint32_t>(samples);
            c.frames.push_back(std::move(fr));
        }
        if (!error.empty()) break;
    }
    if (have_stream) ogg_stream_clear(&stream);
    ogg_sync_clear(&sync);
    if (!error.empty()) throw RunError(error);
    if (npackets == 0) throw RunError(path + ": not an Ogg file");
    if (c.frames.empty()) throw RunError(path + ": no Opus audio packet in the file");
    return c;
}

// ------------------------------------------------------------------------------------------------
// RTP packetization

struct RtpVariant {
    int csrc;
    int ext;
    int padding;
};

struct PacketPlan {
    Bytes payload;
    bool marker;
    bool padding_only = false;  // a bandwidth probe: no payload, only padding
    bool fec_slot = false;      // takes a sequence number for a ULPFEC packet
    int fec_group = -1;         // the FEC group a ULPFEC slot carries
    int frame = -1;             // index of the frame a media packet or FEC slot belongs to
    int pt;
    uint32_t timestamp;
    double time;             // capture time in seconds
    bool restarted = false;  // sent after the sender's restart (--restart): the other SSRC
};

struct Packet {
    Bytes bytes;
    double time;
};

struct UserStream {
    uint32_t uid;
    int index;
    std::vector<Packet> packets;
    std::vector<const Frame*> sent;  // media as sent, for --save-sources
    // With a wrapping: the plain media packets as sent, whole, for the manifest.
    std::vector<Packet> plain;
};

size_t rtp_header_size(const RtpVariant& v) {
    size_t n = 12 + 4 * static_cast<size_t>(v.csrc);
    if (v.ext > 0) {
        // One-byte elements with 1, 3, 2 and 4 data bytes: audio level, abs-send-time, a transport
        // sequence number and a 4-byte id.
        static const int lens[4] = {1, 3, 2, 4};
        size_t data = 0;
        for (int i = 0; i < v.ext; ++i) data += 1 + static_cast<size_t>(lens[i]);
        n += 4 + (data + 3) / 4 * 4;
    }
    return n;
}

Bytes serialize_rtp(const RtpVariant& v, const PacketPlan& s, uint16_t seq, uint32_t ssrc,
                    Rng& rng) {
    const int padding = s.padding_only ? 255 : v.padding;
    Bytes b;
    b.reserve(rtp_header_size(v) + s.payload.size() + static_cast<size_t>(padding));
    b.push_back(
        static_cast<uint8_t>(0x80 | (padding > 0 ? 0x20 : 0) | (v.ext > 0 ? 0x10 : 0) | v.csrc));
    b.push_back(static_cast<uint8_t>((s.marker ? 0x80 : 0) | s.pt));
    put_be16(b, seq);
    put_be32(b, s.timestamp);
    put_be32(b, ssrc);
    for (int i = 0; i < v.csrc; ++i) put_be32(b, 0x10000000u + (ssrc & 0xFFFF) * 16 + i);
    if (v.ext > 0) {
        static const int ids[4] = {1, 3, 5, 7};
        static const int lens[4] = {1, 3, 2, 4};
        Bytes data;
        for (int i = 0; i < v.ext; ++i) {
            data.push_back(static_cast<uint8_t>((ids[i] << 4) | (lens[i] - 1)));
            for (int k = 0; k < lens[i]; ++k) data.push_back(static_cast<uint8_t>(rng.next()));
        }
        while (data.size() % 4) data.push_back(0);
        put_be16(b, 0xBEDE);
        put_be16(b, static_cast<uint16_t>(data.size() / 4));
        b.insert(b.end(), data.begin(), data.end());
    }
    b.insert(b.end(), s.payload.begin(), s.payload.end());
    if (padding > 0) {
        for (int i = 1; i < padding; ++i) b.push_back(0);
        b.push_back(static_cast<uint8_t>(padding));
    }
    return b;
}

// VP8 payload descriptor (RFC 7741) of one packet.
Bytes vp8_descriptor(const std::string& mode, bool start, uint16_t picture_id, uint8_t tl0,
                     uint8_t keyidx) {
    Bytes d;
    const uint8_t s = start ? 0x10 : 0x00;  // partition index is always 0
    if (mode == "none") {
        d.push_back(s);
        return d;
    }
    d.push_back(static_cast<uint8_t>(0x80 | s));
    if (mode == "pid7") {
        d.push_back(0x80);
        d.push_back(static_cast<uint8_t>(picture_id & 0x7F));
    } else if (mode == "pid15") {
        d.push_back(0x80);
        d.push_back(static_cast<uint8_t>(0x80 | ((picture_id >> 8) & 0x7F)));
        d.push_back(static_cast<uint8_t>(picture_id));
    } else if (mode == "full") {
        d.push_back(0xF0);
        d.push_back(static_cast<uint8_t>(0x80 | ((picture_id >> 8) & 0x7F)));
        d.push_back(static_cast<uint8_t>(picture_id));
        d.push_back(tl0);
        d.push_back(static_cast<uint8_t>(0x20 | (keyidx & 0x1F)));  // TID 0, Y, KEYIDX
    } else {                                                        // lk
        d.push_back(0x50);
        d.push_back(tl0);
        d.push_back(static_cast<uint8_t>(keyidx & 0x1F));
    }
    return d;
}

// ---- Packetizers of the other codecs: each turns one frame into the payloads of its packets,
// none longer than `budget` bytes.

void put_leb128(Bytes& b, uint64_t v) {
    do {
        uint8_t byte = v & 0x7F;
        v >>= 7;
        if (v) byte |= 0x80;
        b.push_back(byte);
    } while (v);
}

// Splits `n` bytes into the fewest even pieces of at most `room` bytes.
std::vector<std::pair<size_t, size_t>> even_pieces(size_t n, size_t room) {
    const size_t count = std::max<size_t>(1, (n + room - 1) / room);
    std::vector<std::pair<size_t, size_t>> out;
    size_t pos = 0;
    for (size_t k = 0; k < count; ++k) {
        const size_t len = n / count + (k < n % count ? 1 : 0);
        out.emplace_back(pos, len);
        pos += len;
    }
    return out;
}

// VP9, RFC 9628 non-flexible mode, one layer: I with a 15-bit picture id, P on inter frames, B on
// the first packet and E on the last; a key frame's first packet carries the scalability
// structure with the picture size (V, N_S = 0, Y).
std::vector<Bytes> packetize_vp9(const Bytes& f, size_t budget, uint16_t pid, int w, int h) {
    const bool key = !f.empty() && (f[0] & 0xC0) == 0x80 && (f[0] & 0x0C) == 0;
    std::vector<Bytes> out;
    const auto pieces = even_pieces(f.size(), budget - 8);
    for (size_t k = 0; k < pieces.size(); ++k) {
        const bool first = k == 0, last = k + 1 == pieces.size();
        const bool ss = first && key;
        Bytes b;
        b.push_back(static_cast<uint8_t>(0x80 | (key ? 0 : 0x40) | (first ? 0x08 : 0) |
                                         (last ? 0x04 : 0) | (ss ? 0x02 : 0)));
        b.push_back(static_cast<uint8_t>(0x80 | ((pid >> 8) & 0x7F)));
        b.push_back(static_cast<uint8_t>(pid));
        if (ss) {
            b.push_back(0x10);  // N_S 0, Y
            put_be16(b, static_cast<uint16_t>(w));
            put_be16(b, static_cast<uint16_t>(h));
        }
        b.insert(b.end(), f.begin() + static_cast<long>(pieces[k].first),
                 f.begin() + static_cast<long>(pieces[k].first + pieces[k].second));
        out.push_back(std::move(b));
    }
    return out;
}

// The NAL units of an Annex B frame (start codes of 3 or 4 bytes).
std::vector<Bytes> annexb_nals(const Bytes& f) {
    std::vector<Bytes> nals;
    size_t i = 0, start = 0;
    bool open = false;
    while (i + 3 <= f.size()) {
        if (f[i] == 0 && f[i + 1] == 0 && f[i + 2] == 1) {
            if (open) {
                size_t end = i;
                if (end > start && f[end - 1] == 0) --end;  // a 4-byte start code's first zero
                nals.emplace_back(f.begin() + static_cast<long>(start),
                                  f.begin() + static_cast<long>(end));
            }
            i += 3;
            start = i;
            open = true;
        } else {
            ++i;
        }
    }
    if (open && start < f.size()) nals.emplace_back(f.begin() + static_cast<long>(start), f.end());
    return nals;
}

// H.264, RFC 6184 packetization mode 1 as libwebrtc sends it: NAL units that fit together go in
// one STAP-A (a lone one as a single NAL unit packet), a larger one in FU-A fragments.
std::vector<Bytes> packetize_h264(const Bytes& f, size_t budget) {
    const std::vector<Bytes> nals = annexb_nals(f);
    std::vector<Bytes> out;
    size_t i = 0;
    while (i < nals.size()) {
        const Bytes& nal = nals[i];
        if (nal.size() > budget) {
            const auto pieces = even_pieces(nal.size() - 1, budget - 2);
            for (size_t k = 0; k < pieces.size(); ++k) {
                Bytes b;
                b.push_back(static_cast<uint8_t>((nal[0] & 0xE0) | 28));
                b.push_back(static_cast<uint8_t>(
                    (k == 0 ? 0x80 : 0) | (k + 1 == pieces.size() ? 0x40 : 0) | (nal[0] & 0x1F)));
                b.insert(b.end(), nal.begin() + 1 + static_cast<long>(pieces[k].first),
                         nal.begin() + 1 + static_cast<long>(pieces[k].first + pieces[k].second));
                out.push_back(std::move(b));
            }
            ++i;
            continue;
        }
        size_t j = i, size = 1;
        uint8_t nri = 0;
        while (j < nals.size() && size + 2 + nals[j].size() <= budget) {
            size += 2 + nals[j].size();
            nri = std::max<uint8_t>(nri, nals[j][0] & 0x60);
            ++j;
        }
        if (j - i < 2) {
            out.push_back(nal);
            ++i;
            continue;
        }
        Bytes b;
        b.push_back(static_cast<uint8_t>(nri | 24));
        for (; i < j; ++i) {
            put_be16(b, static_cast<uint16_t>(nals[i].size()));
            b.insert(b.end(), nals[i].begin(), nals[i].end());
        }
        out.push_back(std::move(b));
    }
    return out;
}

// AV1, the AOM RTP format: the temporal unit's OBUs without their size fields (and without the
// temporal delimiter) as elements with a LEB128 length each (W = 0), an OBU longer than a packet
// continued in the next (Y, then Z); N on the first packet of a unit with a sequence header.
std::vector<Bytes> packetize_av1(const Bytes& f, size_t budget) {
    std::vector<Bytes> elements;
    bool seq = false;
    size_t k = 0;
    while (k < f.size()) {
        const uint8_t header = f[k];
        const size_t head = (header & 0x04) ? 2 : 1;
        size_t pos = k + head;
        uint64_t size = f.size() - pos;
        if (header & 0x02) {
            size = 0;
            for (int i = 0; pos < f.size(); ++i) {
                const uint8_t byte = f[pos++];
                size |= uint64_t{byte & 0x7Fu} << (7 * i);
                if (!(byte & 0x80)) break;
            }
        }
        const uint8_t type = (header >> 3) & 0x0F;
        if (type == 1) seq = true;
        if (type != 2) {
            Bytes e;
            e.push_back(static_cast<uint8_t>(header & ~0x02));
            if (head == 2) e.push_back(f[k + 1]);
            e.insert(e.end(), f.begin() + static_cast<long>(pos),
                     f.begin() + static_cast<long>(pos + size));
            elements.push_back(std::move(e));
        }
        k = pos + static_cast<size_t>(size);
    }
    std::vector<Bytes> out;
    Bytes cur = {0};
    bool z = false;
    auto flush = [&](bool y) {
        cur[0] =
            static_cast<uint8_t>((z ? 0x80 : 0) | (y ? 0x40 : 0) | (seq && out.empty() ? 0x08 : 0));
        out.push_back(cur);
        cur = {0};
        z = y;
    };
    for (const Bytes& e : elements) {
        size_t done = 0;
        while (done < e.size()) {
            const size_t room = budget > cur.size() + 4 ? budget - cur.size() - 4 : 0;
            if (room < 16 && cur.size() > 1) {
                flush(false);
                continue;
            }
            const size_t len = std::min(room, e.size() - done);
            put_leb128(cur, len);
            cur.insert(cur.end(), e.begin() + static_cast<long>(done),
                       e.begin() + static_cast<long>(done + len));
            done += len;
            if (done < e.size()) flush(true);
        }
    }
    if (cur.size() > 1) flush(false);
    return out;
}

// The frames a user sends: the clip, cycled until the duration is covered.
std::vector<const Frame*> frames_for_duration(const std::vector<Frame>& clip, double seconds,
                                              uint32_t clock) {
    std::vector<const Frame*> out;
    const double limit = seconds * clock;
    double t = 0;
    for (size_t i = 0; t < limit - 1e-6; i = (i + 1) % clip.size()) {
        out.push_back(&clip[i]);
        t += clip[i].duration;
    }
    return out;
}

void start_values(const Options& o, Rng& r, uint32_t ticks_per_frame, uint16_t* seq, uint32_t* ts) {
    if (o.near_wrap) {
        *seq = static_cast<uint16_t>(65536 - 1 - r.below(24));
        *ts = static_cast<uint32_t>(0x100000000ULL - 1 - r.below(4 * ticks_per_frame));
    } else {
        *seq = static_cast<uint16_t>(r.next());
        *ts = static_cast<uint32_t>(r.next());
    }
}

// A restarted sender's SSRC: derived, not drawn, so that --restart changes no other random choice.
uint32_t restarted_ssrc(uint32_t ssrc) {
    return ssrc ^ 0x80000000u;
}

// --restart: the timestamp base moves once, before the first packet at or after the restart
// point (`media_seconds` counts from the stream's first packet).
void maybe_restart(const Options& o, double media_seconds, uint32_t clock, bool* restarted,
                   uint32_t* ts) {
    if (!o.restart || *restarted || media_seconds < o.restart_at) return;
    *restarted = true;
    *ts += static_cast<uint32_t>(static_cast<int64_t>(std::llround(o.restart_step * clock)));
}

// Sequence numbers are given last, so that inserted packets take numbers like any other.
std::vector<Packet> to_packets(const RtpVariant& v, const std::vector<PacketPlan>& plans,
                               uint16_t seq, uint32_t ssrc, Rng& rng) {
    std::vector<Packet> out;
    out.reserve(plans.size());
    for (const auto& s : plans) {
        out.push_back(
            {serialize_rtp(v, s, seq, s.restarted ? restarted_ssrc(ssrc) : ssrc, rng), s.time});
        ++seq;
    }
    return out;
}

void insert_pt121(std::vector<PacketPlan>& plans, int count, Rng& r) {
    for (int n = 0; n < count && !plans.empty(); ++n) {
        size_t at = r.below(static_cast<uint32_t>(plans.size() + 1));
        const PacketPlan& near = plans[at == 0 ? 0 : at - 1];
        PacketPlan p;
        p.pt = 121;
        p.marker = false;
        p.timestamp = near.timestamp;
        p.time = near.time;
        p.restarted = near.restarted;
        p.payload.resize(8 + r.below(40));
        for (auto& byte : p.payload) byte = static_cast<uint8_t>(r.next());
        plans.insert(plans.begin() + static_cast<long>(at), std::move(p));
    }
}

PacketPlan probe_like(const PacketPlan& near) {
    PacketPlan p;
    p.pt = near.pt;
    p.marker = false;
    p.padding_only = true;
    p.timestamp = near.timestamp;
    p.time = near.time;
    p.restarted = near.restarted;
    return p;
}

void insert_burst(std::vector<PacketPlan>& plans, long after, int count) {
    if (after < 0 || static_cast<size_t>(after) >= plans.size()) return;
    const PacketPlan p = probe_like(plans[static_cast<size_t>(after)]);
    plans.insert(plans.begin() + after + 1, static_cast<size_t>(count), p);
}

void insert_probes(std::vector<PacketPlan>& plans, int count, Rng& r) {
    for (int n = 0; n < count && !plans.empty(); ++n) {
        size_t at = r.below(static_cast<uint32_t>(plans.size() + 1));
        PacketPlan p = probe_like(plans[at == 0 ? 0 : at - 1]);
        plans.insert(plans.begin() + static_cast<long>(at), std::move(p));
    }
}

// `lost`, when given, receives the indexes of the packets dropped.
void impair(const Options& o, int kind, int user, std::vector<Packet>& packets, Rng& r,
            std::vector<size_t>* lost = nullptr, const std::vector<size_t>& also_drop = {}) {
    std::vector<bool> keep(packets.size(), true);
    for (size_t i : also_drop) keep[i] = false;
    for (const auto& d : o.drop_at)
        if (d.kind == kind && d.user == user && d.index < static_cast<long>(packets.size()))
            keep[static_cast<size_t>(d.index)] = false;
    const bool random =
        o.impair_kind[kind] && (o.drop > 0 || o.dup > 0 || o.reorder > 0 || o.late > 0);
    if (!random && std::find(keep.begin(), keep.end(), false) == keep.end()) return;
    std::vector<Packet> out;
    out.reserve(packets.size());
    for (size_t i = 0; i < packets.size(); ++i) {
        if (!keep[i] || (random && r.chance(o.drop))) {
            if (lost) lost->push_back(i);
            continue;
        }
        out.push_back(packets[i]);
        if (random && r.chance(o.dup)) out.push_back(packets[i]);
    }
    if (random && o.reorder > 0) {
        // Swap the contents of neighbours; capture times stay with the positions, so the later
        // packet is captured first.
        for (size_t i = 0; i + 1 < out.size(); ++i) {
            if (r.chance(o.reorder)) {
                std::swap(out[i].bytes, out[i + 1].bytes);
                ++i;
            }
        }
    }
    if (random && o.late > 0) {
        // A retransmission: the packet's contents move `late_by` places on, the others close up.
        std::vector<bool> moved(out.size(), false);
        size_t i = 0;
        while (i < out.size()) {
            if (moved[i] || !r.chance(o.late)) {
                ++i;
                continue;
            }
            // The packet now at i has not had its turn yet, so i stays.
            const size_t to = std::min(out.size() - 1, i + static_cast<size_t>(o.late_by));
            Bytes b = std::move(out[i].bytes);
            for (size_t k = i; k < to; ++k) {
                out[k].bytes = std::move(out[k + 1].bytes);
                moved[k] = moved[k + 1];
            }
            out[to].bytes = std::move(b);
            moved[to] = true;
            if (to == i) ++i;
        }
    }
    packets.swap(out);
}

// ------------------------------------------------------------------------------------------------
// Wrappings of a WebRTC sender: RED, RTX, ULPFEC and FlexFEC

// Header length of a packet this tool wrote (fixed header, CSRCs, extension) and its payload
// without padding.
size_t header_of(const Bytes& p) {
    size_t h = 12 + 4 * static_cast<size_t>(p[0] & 0x0F);
    if (p[0] & 0x10) h += 4 + 4 * static_cast<size_t>((p[h + 2] << 8) | p[h + 3]);
    return h;
}
Bytes payload_of(const Bytes& p) {
    const size_t h = header_of(p);
    const size_t pad = (p[0] & 0x20) ? p.back() : 0;
    return Bytes(p.begin() + static_cast<long>(h), p.end() - static_cast<long>(pad));
}
// `p` with its payload replaced (padding dropped).
Bytes with_payload(const Bytes& p, const Bytes& payload) {
    Bytes b(p.begin(), p.begin() + static_cast<long>(header_of(p)));
    b[0] = static_cast<uint8_t>(b[0] & ~0x20);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}
uint16_t seq_of(const Bytes& p) {
    return static_cast<uint16_t>((p[2] << 8) | p[3]);
}

// A media packet as the receiver sees it after RED: the primary block with its payload type.
Bytes unwrapped(const Options& o, const Bytes& p) {
    if (o.red_pt < 0) return p;
    const Bytes payload = payload_of(p);
    Bytes b = with_payload(p, Bytes(payload.begin() + 1, payload.end()));
    b[1] = static_cast<uint8_t>((b[1] & 0x80) | payload[0]);
    return b;
}

// The FEC packets are written by the converter's own encoders, so that what the synthesizer sends
// and what the recovery reads have one definition.
std::vector<FecMedia> fec_media(const std::vector<Bytes>& prot) {
    std::vector<FecMedia> media;
    for (const Bytes& p : prot) media.push_back({p.data(), p.size()});
    return media;
}

// What one FEC packet protects: media packets named by frame and place among the frame's media
// packets, and the frame after whose last packet it is sent.
struct FecGroup {
    int after_frame;
    std::vector<std::pair<int, size_t>> members;
};

// The plan indexes of each frame's media packets, in plan order.
std::vector<std::vector<size_t>> media_of_frames(const std::vector<PacketPlan>& plans) {
    std::vector<std::vector<size_t>> of;
    for (size_t i = 0; i < plans.size(); ++i) {
        if (plans[i].frame < 0 || plans[i].fec_slot || plans[i].padding_only) continue;
        if (of.size() <= static_cast<size_t>(plans[i].frame)) of.resize(plans[i].frame + 1);
        of[plans[i].frame].push_back(i);
    }
    return of;
}

// The group's packets as unwrapped.
std::vector<Bytes> protected_of(const Options& o, const std::vector<std::vector<size_t>>& media,
                                const std::vector<Packet>& packets, const FecGroup& g) {
    std::vector<Bytes> prot;
    for (const auto& [frame, k] : g.members)
        prot.push_back(unwrapped(o, packets[media[frame][k]].bytes));
    return prot;
}

// RFC 5109: FEC header (10 bytes) and one level-0 header with a 16- or 48-bit mask, inside RED.
void fill_ulpfec(const Options& o, const std::vector<PacketPlan>& plans,
                 const std::vector<FecGroup>& groups, std::vector<Packet>& packets) {
    const std::vector<std::vector<size_t>> media = media_of_frames(plans);
    for (size_t i = 0; i < plans.size(); ++i) {
        if (!plans[i].fec_slot) continue;
        const std::vector<Bytes> prot = protected_of(o, media, packets, groups[plans[i].fec_group]);
        if (prot.empty()) continue;
        const std::vector<FecMedia> refs = fec_media(prot);
        Bytes body;
        if (!ulpfec_encode(refs.data(), refs.size(), &body))
            throw std::runtime_error("ULPFEC: the group's packets do not fit one mask");
        Bytes f;
        f.push_back(static_cast<uint8_t>(o.ulpfec_pt));  // RED primary header
        f.insert(f.end(), body.begin(), body.end());
        packets[i].bytes = with_payload(packets[i].bytes, f);
    }
}

// FlexFEC as libwebrtc sends it (draft 03): R=0 F=0, SSRC count 1, the media SSRC, the base
// sequence number and a mask of 15, 46 or 109 bits with k bits between, on an SSRC of its own.
std::vector<Packet> flexfec_packets(const Options& o, int user, const RtpVariant& v,
                                    const std::vector<PacketPlan>& plans,
                                    const std::vector<FecGroup>& groups,
                                    const std::vector<Packet>& packets) {
    Rng r = rng_for(o.seed, kPurposeFlexfec, static_cast<uint64_t>(user));
    uint16_t seq = static_cast<uint16_t>(r.next());
    const uint32_t ssrc = static_cast<uint32_t>(r.next()) | 1;
    const std::vector<std::vector<size_t>> media = media_of_frames(plans);
    std::vector<Packet> out;
    size_t next = 0;  // groups are in the order of the frames they follow
    for (size_t i = 0; i < plans.size(); ++i) {
        if (!plans[i].marker || plans[i].frame < 0) continue;
        for (; next < groups.size() && groups[next].after_frame == plans[i].frame; ++next) {
            const std::vector<Bytes> prot = protected_of(o, media, packets, groups[next]);
            if (prot.empty()) continue;
            PacketPlan s;
            s.pt = o.flexfec_pt;
            s.marker = false;
            s.timestamp = plans[i].timestamp;
            s.time = plans[i].time + 0.00005;
            const std::vector<FecMedia> refs = fec_media(prot);
            if (!flexfec_encode(refs.data(), refs.size(), &s.payload))
                throw std::runtime_error("FlexFEC: the group's packets do not fit one mask");
            out.push_back({serialize_rtp(v, s, seq++, ssrc, r), s.time});
        }
    }
    return out;
}

// The RTX SSRC of a sender: padding probes at the start (283 bytes with the usual extensions; the
// first with timestamp 0), copies of the first packets (the first sent 8 times, as senders do when
// they probe with payload), then one retransmission of each media packet in `lost`.
std::vector<Packet> rtx_packets(const Options& o, int user, const RtpVariant& v,
                                const std::vector<PacketPlan>& plans,
                                const std::vector<Packet>& sent, const std::vector<size_t>& lost) {
    Rng r = rng_for(o.seed, kPurposeRtx, static_cast<uint64_t>(user));
    uint16_t seq = static_cast<uint16_t>(r.next());
    const uint32_t ssrc = static_cast<uint32_t>(r.next()) | 2;
    std::vector<Packet> out;
    if (sent.empty()) return out;
    auto retransmit = [&](size_t i, double time) {
        const Bytes& p = sent[i].bytes;
        PacketPlan s;
        s.pt = o.rtx_pt;
        s.marker = (p[1] & 0x80) != 0;
        s.timestamp =
            (uint32_t{p[4]} << 24) | (uint32_t{p[5]} << 16) | (uint32_t{p[6]} << 8) | p[7];
        s.time = time;
        put_be16(s.payload, seq_of(p));
        const Bytes payload = payload_of(p);
        s.payload.insert(s.payload.end(), payload.begin(), payload.end());
        out.push_back({serialize_rtp(v, s, seq++, ssrc, r), time});
    };
    const double start = sent[0].time;
    for (int k = 0; k < 6; ++k) {
        PacketPlan s;
        s.pt = o.rtx_pt;
        s.marker = false;
        s.padding_only = true;
        s.timestamp = k == 0 ? 0 : plans[0].timestamp;
        s.time = start - 0.001 * (6 - k);
        out.push_back({serialize_rtp(v, s, seq++, ssrc, r), s.time});
    }
    const size_t copies[] = {8, 3, 1};
    const double after = sent[std::min<size_t>(sent.size() - 1, 8)].time + 0.0001;
    for (size_t i = 0; i < 3 && i < sent.size(); ++i)
        for (size_t c = 0; c < copies[i]; ++c) retransmit(i, after + 0.00001 * out.size());
    for (size_t i : lost) {
        if (plans[i].frame < 0 || plans[i].fec_slot) continue;  // only media is sent again
        retransmit(i, sent[i].time + 0.03);
    }
    return out;
}

// The plain media packets a receiver restores, numbered as if the FEC slots were not there.
std::vector<Packet> plain_video(const Options& o, const std::vector<PacketPlan>& plans,
                                const std::vector<Packet>& packets, uint16_t seq) {
    std::vector<Packet> out;
    for (size_t i = 0; i < plans.size(); ++i) {
        // --repair leaves FEC packets and probes out without a gap, as the renumbering does here.
        if (plans[i].fec_slot || plans[i].padding_only) continue;
        Bytes b = unwrapped(o, packets[i].bytes);
        b[2] = static_cast<uint8_t>(seq >> 8);
        b[3] = static_cast<uint8_t>(seq);
        ++seq;
        out.push_back({std::move(b), packets[i].time});
    }
    return out;
}

// Audio RED with distance 1: a 4-byte header for the previous packet (F=1, payload type,
// timestamp offset, length), the primary's 1-byte header, the previous packet, this one. The
// first packet, and one whose previous is too long or too far back, has the primary alone.
void wrap_audio_red(const Options& o, std::vector<PacketPlan>& plans) {
    Bytes previous;
    uint32_t previous_ts = 0;
    for (size_t i = 0; i < plans.size(); ++i) {
        PacketPlan& s = plans[i];
        Bytes current = s.payload;
        const uint32_t offset = s.timestamp - previous_ts;
        Bytes red;
        if (i > 0 && previous.size() < 1024 && offset > 0 && offset < 16384) {
            red.push_back(static_cast<uint8_t>(0x80 | o.audio_pt));
            red.push_back(static_cast<uint8_t>(offset >> 6));
            red.push_back(static_cast<uint8_t>(((offset & 0x3F) << 2) | (previous.size() >> 8)));
            red.push_back(static_cast<uint8_t>(previous.size()));
        }
        red.push_back(static_cast<uint8_t>(o.audio_pt));
        if (red.size() > 1) red.insert(red.end(), previous.begin(), previous.end());
        red.insert(red.end(), current.begin(), current.end());
        s.payload = std::move(red);
        s.pt = o.audio_red_pt;
        previous = std::move(current);
        previous_ts = s.timestamp;
    }
}

UserStream make_video_stream(const Options& o, int user, uint32_t uid, const Clip& clip,
                             const RtpVariant& v, const std::string& desc) {
    UserStream us;
    us.uid = uid;
    us.index = user;
    Rng rr = rng_for(o.seed, kPurposeRtp, static_cast<uint64_t>(user) * 2);
    Rng rt = rng_for(o.seed, kPurposeTiming, static_cast<uint64_t>(user) * 2);
    uint16_t seq;
    uint32_t ts;
    start_values(o, rr, clip.frames[0].duration, &seq, &ts);
    const uint32_t ssrc = static_cast<uint32_t>(rr.next());
    uint16_t pid = static_cast<uint16_t>(rr.below(desc == "pid7" ? 128 : 32768));
    uint8_t tl0 = static_cast<uint8_t>(rr.next());
    uint8_t keyidx = static_cast<uint8_t>(rr.next());
    const double offset = rt.unit() / std::max(1, clip.fps);

    us.sent = frames_for_duration(clip.frames, o.duration, 90000);
    std::vector<PacketPlan> plans;
    const size_t header = rtp_header_size(v) + static_cast<size_t>(v.padding);
    const size_t desc_len = vp8_descriptor(desc, true, 0, 0, 0).size();
    if (header + desc_len + 1 > static_cast<size_t>(o.mtu))
        throw UsageError("--mtu " + std::to_string(o.mtu) + " leaves no room for VP8 data after " +
                         std::to_string(header + desc_len) + " header bytes");
    const size_t budget = static_cast<size_t>(o.mtu) - header - desc_len;
    double t = offset;
    double media = 0;  // seconds from the first frame
    std::vector<FecGroup> groups;
    std::vector<std::pair<int, size_t>> batch;  // --fec-rate: media packets not yet protected
    int batch_frames = 0;
    bool restarted = false;
    int frame_index = 0;
    for (const Frame* f : us.sent) {
        maybe_restart(o, media, 90000, &restarted, &ts);
        media += f->duration / 90000.0;
        const size_t size = f->data.size();
        std::vector<Bytes> payloads;
        if (o.codec == "vp9")
            payloads = packetize_vp9(f->data, budget + desc_len, pid, clip.width, clip.height);
        else if (o.codec == "h264")
            payloads = packetize_h264(f->data, budget + desc_len);
        else if (o.codec == "av1")
            payloads = packetize_av1(f->data, budget + desc_len);
        const size_t n =
            o.codec != "vp8" ? payloads.size() : std::max<size_t>(1, (size + budget - 1) / budget);
        size_t pos = 0;
        for (size_t k = 0; k < n; ++k) {
            // Even split, the way real senders do it, so that no packet is nearly empty.
            size_t len = size / n + (k < size % n ? 1 : 0);
            PacketPlan s;
            if (o.codec != "vp8") {
                s.payload = std::move(payloads[k]);
            } else {
                s.payload = vp8_descriptor(desc, k == 0, pid, tl0, keyidx);
                s.payload.insert(s.payload.end(), f->data.begin() + static_cast<long>(pos),
                                 f->data.begin() + static_cast<long>(pos + len));
            }
            pos += len;
            s.marker = k + 1 == n;
            s.pt = o.video_pt;
            if (o.red_pt >= 0) {
                // One block: the primary header (F=0 and the VP8 payload type), then the packet.
                s.payload.insert(s.payload.begin(), static_cast<uint8_t>(o.video_pt));
                s.pt = o.red_pt;
            }
            s.timestamp = ts;
            s.time = t + k * 0.0001;
            s.restarted = restarted;
            s.frame = frame_index;
            plans.push_back(std::move(s));
        }
        // FEC groups: one over the frame (its first 48 packets), or with --fec-rate, over the
        // packets of the last frames, each group over every so-manieth of them.
        const size_t first_group = groups.size();
        if (o.fec_rate <= 0) {
            FecGroup g{frame_index, {}};
            for (size_t k = 0; k < std::min<size_t>(n, 48); ++k)
                g.members.push_back({frame_index, k});
            groups.push_back(std::move(g));
        } else {
            for (size_t k = 0; k < n; ++k) batch.push_back({frame_index, k});
            ++batch_frames;
            const bool last = frame_index + 1 == static_cast<int>(us.sent.size());
            if (batch_frames >= 3 || batch.size() >= 24 || last) {
                // Chunks of at most 40 packets, so that a mask spans them with room to spare.
                for (size_t c = 0; c < batch.size(); c += 40) {
                    const size_t m = std::min<size_t>(40, batch.size() - c);
                    const size_t count = static_cast<size_t>(std::ceil(o.fec_rate * m - 1e-9));
                    for (size_t j = 0; j < count; ++j) {
                        FecGroup g{frame_index, {}};
                        for (size_t i = j; i < m; i += count) g.members.push_back(batch[c + i]);
                        groups.push_back(std::move(g));
                    }
                }
                batch.clear();
                batch_frames = 0;
            }
        }
        for (size_t g = first_group; o.ulpfec_pt >= 0 && g < groups.size(); ++g) {
            PacketPlan s;
            s.pt = o.red_pt;
            s.marker = false;
            s.fec_slot = true;
            s.fec_group = static_cast<int>(g);
            s.timestamp = ts;
            s.time = t + (n + g - first_group) * 0.0001;
            s.frame = plans.back().frame;
            plans.push_back(std::move(s));
        }
        ++frame_index;
        ts += f->duration;
        t += f->duration / 90000.0;
        pid = static_cast<uint16_t>((pid + 1) & (desc == "pid7" ? 0x7F : 0x7FFF));
        ++tl0;
        if ((f->data[0] & 1) == 0) ++keyidx;  // VP8 key frames have the low bit clear
    }
    Rng rp = rng_for(o.seed, kPurposePt121, static_cast<uint64_t>(user));
    insert_burst(plans, o.burst_after, o.burst);
    insert_pt121(plans, o.pt121, rp);
    if (o.probes > 0) {
        Rng rb = rng_for(o.seed, kPurposeProbe, static_cast<uint64_t>(user));
        insert_probes(plans, o.probes, rb);
    }
    us.packets = to_packets(v, plans, seq, ssrc, rr);
    const bool wrapped = o.red_pt >= 0 || o.rtx_pt >= 0 || o.flexfec_pt >= 0;
    if (o.ulpfec_pt >= 0) fill_ulpfec(o, plans, groups, us.packets);
    if (wrapped) us.plain = plain_video(o, plans, us.packets, seq);
    std::vector<Packet> extra;
    if (o.flexfec_pt >= 0) extra = flexfec_packets(o, user, v, plans, groups, us.packets);
    const std::vector<Packet> sent = o.rtx_pt >= 0 ? us.packets : std::vector<Packet>();
    std::vector<size_t> lost;
    Rng ri = rng_for(o.seed, kPurposeImpair, static_cast<uint64_t>(user) * 2);
    std::vector<size_t> frame_drops;
    if (o.drop_per_frame) {
        // One media packet of each frame, whatever its size: exactly one loss per FEC packet.
        Rng rd = rng_for(o.seed, kPurposeDropPerFrame, static_cast<uint64_t>(user));
        // Not the stream's first media packet nor its last: a receiver cannot tell that a packet
        // before the first or after the last one it got was ever sent.
        std::vector<size_t> media;
        for (size_t i = 0; i < plans.size(); ++i)
            if (plans[i].frame >= 0 && !plans[i].fec_slot && !plans[i].padding_only)
                media.push_back(i);
        std::map<int, std::vector<size_t>> of_frame;
        for (size_t k = 1; k + 1 < media.size(); ++k)
            of_frame[plans[media[k]].frame].push_back(media[k]);
        for (const auto& entry : of_frame)
            frame_drops.push_back(entry.second[rd.next() % entry.second.size()]);
    }
    impair(o, kVideo, user, us.packets, ri, o.rtx_pt >= 0 ? &lost : nullptr, frame_drops);
    if (o.rtx_pt >= 0) {
        std::vector<Packet> rtx = rtx_packets(o, user, v, plans, sent, lost);
        extra.insert(extra.end(), rtx.begin(), rtx.end());
    }
    us.packets.insert(us.packets.end(), extra.begin(), extra.end());
    return us;
}

UserStream make_audio_stream(const Options& o, int user, uint32_t uid, const Clip& clip,
                             const RtpVariant& v) {
    UserStream us;
    us.uid = uid;
    us.index = user;
    Rng rr = rng_for(o.seed, kPurposeRtp, static_cast<uint64_t>(user) * 2 + 1);
    Rng rt = rng_for(o.seed, kPurposeTiming, static_cast<uint64_t>(user) * 2 + 1);
    uint16_t seq;
    uint32_t ts;
    start_values(o, rr, clip.frames[0].duration, &seq, &ts);
    const uint32_t ssrc = static_cast<uint32_t>(rr.next());
    us.sent = frames_for_duration(clip.frames, o.duration, 48000);
    std::vector<PacketPlan> plans;
    double t = rt.unit() * 0.02;
    bool first = true;
    const double silence_from = o.silence_at * 48000;
    const double silence_to = silence_from + o.silence_sec * 48000;
    double sent_time = 0;  // in samples from the first packet
    bool restarted = false;
    for (const Frame* f : us.sent) {
        const double at = sent_time;
        maybe_restart(o, at / 48000, 48000, &restarted, &ts);
        sent_time += f->duration;
        if (o.silence_sec > 0 && at >= silence_from && at < silence_to) {
            ts += f->duration;
            t += f->duration / 48000.0;
            first = true;  // the next packet starts a talkspurt
            continue;
        }
        PacketPlan s;
        s.payload = f->data;
        s.marker = first;  // RFC 7587: the first packet of a talkspurt
        first = false;
        s.pt = o.audio_pt;
        s.timestamp = ts;
        s.time = t;
        s.restarted = restarted;
        plans.push_back(std::move(s));
        ts += f->duration;
        t += f->duration / 48000.0;
    }
    if (o.audio_red_pt >= 0) {
        Rng copy = rr;
        us.plain = to_packets(v, plans, seq, ssrc, copy);
        wrap_audio_red(o, plans);
    }
    us.packets = to_packets(v, plans, seq, ssrc, rr);
    Rng ri = rng_for(o.seed, kPurposeImpair, static_cast<uint64_t>(user) * 2 + 1);
    impair(o, kAudio, user, us.packets, ri);
    return us;
}

// ------------------------------------------------------------------------------------------------
// The converter's rules, modelled for the manifest

struct RtpView {
    uint8_t p, x, cc, m, pt;
    uint16_t seq;
    uint32_t ts;
    const uint8_t* payload;
    long payloadlen;
};

bool parse_rtp(const uint8_t* d, size_t n, RtpView* r) {
    if (n < 12) return false;
    const int v = d[0] >> 6;
    r->p = (d[0] >> 5) & 1;
    r->x = (d[0] >> 4) & 1;
    r->cc = d[0] & 0x0F;
    r->m = d[1] >> 7;
    r->pt = d[1] & 0x7F;
    r->seq = static_cast<uint16_t>((d[2] << 8) | d[3]);
    r->ts = (static_cast<uint32_t>(d[4]) << 24) | (static_cast<uint32_t>(d[5]) << 16) |
            (static_cast<uint32_t>(d[6]) << 8) | d[7];
    const size_t hdr = 12 + 4u * r->cc;
    if (v != 1 && v != 2) return false;
    if (n < hdr + (r->x ? 4 : 0) + (r->p ? 1 : 0)) return false;
    r->payload = d + hdr;
    r->payloadlen = static_cast<long>(n - hdr);
    if (r->x) {
        const long extlen = 4L * ((d[hdr + 2] << 8) | d[hdr + 3]);
        if (extlen + 4 > r->payloadlen) return false;
        r->payload += 4 + extlen;
        r->payloadlen -= 4 + extlen;
    }
    if (r->p) {
        const long count = d[n - 1];
        if (r->payloadlen < count) return false;
        r->payloadlen -= count;
    }
    return true;
}

struct ManifestFrame {
    uint32_t ts;
    size_t size;
    uint64_t hash;
};
struct ManifestPacket {
    size_t size;
    uint64_t hash;
    int samples;
    uint16_t seq;
};

// Reassembly of one user's VP8 stream: loss tracking by sequence number, frames ending at a
// timestamp change, at a packet that starts a partition and after a marker.
struct Vp8Model {
    bool fresh = true;
    bool lost = false;
    uint16_t seq = 0;
    uint32_t ts = 0;
    Bytes buffer;
    std::vector<ManifestFrame> frames;

    static constexpr size_t kMaxFrame = 10 * 1024 * 1024;

    void end_frame() {
        if (!buffer.empty() && !lost)
            frames.push_back({ts, buffer.size(), fnv1a64(buffer.data(), buffer.size())});
        lost = false;
        buffer.clear();
    }

    void packet(const uint8_t* d, size_t n) {
        RtpView r;
        if (!parse_rtp(d, n, &r) || r.payloadlen <= 0 || r.pt == 121) return;
        if (fresh) {
            fresh = false;
            seq = static_cast<uint16_t>(r.seq - 1);
            ts = r.ts + 1;
        }
        const bool gap = r.seq != static_cast<uint16_t>(seq + 1);
        if (gap) lost = true;
        seq = r.seq;
        if (r.ts != ts) {
            end_frame();
            if (gap) lost = true;
        }
        ts = r.ts;
        const uint8_t* p = r.payload;
        const uint8_t* end = r.payload + r.payloadlen;
        const bool x = *p & 0x80, s = *p & 0x10;
        ++p;
        if (x && p < end) {
            const uint8_t e = *p++;
            if ((e & 0x80) && p < end) p += ((*p & 0x80) && end - p >= 2) ? 2 : 1;
            if ((e & 0x40) && p < end) ++p;
            if ((e & 0x30) && p < end) ++p;
        }
        if (s) end_frame();
        const size_t len = static_cast<size_t>(end - p);
        if (buffer.size() + len <= kMaxFrame) buffer.insert(buffer.end(), p, end);
        if (r.m) end_frame();
    }
};

struct OpusModel {
    std::vector<ManifestPacket> packets;
    void packet(const uint8_t* d, size_t n) {
        RtpView r;
        if (!parse_rtp(d, n, &r) || r.payloadlen <= 0) return;
        const int len = static_cast<int>(r.payloadlen);
        const int frames = opus_packet_get_nb_frames(r.payload, len);
        const int spf = opus_packet_get_samples_per_frame(r.payload, 48000);
        if (frames < 0 || spf <= 0) return;
        packets.push_back({static_cast<size_t>(len), fnv1a64(r.payload, static_cast<size_t>(len)),
                           frames * spf, r.seq});
    }
};

// Reads a kind's files as one stream of records, as the converter does, feeding each user's
// model. Returns false once a record of Length 0 has ended the stream.
struct PassModel {
    int kind;
    bool ended = false;
    std::map<uint32_t, Vp8Model> video;
    std::map<uint32_t, OpusModel> audio;
    uint64_t records = 0;

    void file(const Bytes& b) {
        if (ended) return;
        const size_t head = kind == kVideo ? 8 : 16;
        size_t pos = 0;
        while (b.size() - pos >= head) {
            const uint32_t len = get_le32(&b[pos + (kind == kVideo ? 0 : 12)]);
            const uint32_t uid = get_le32(&b[pos + (kind == kVideo ? 4 : 8)]);
            pos += head;
            if (len == 0) {
                ended = true;
                return;
            }
            if (len > b.size() - pos) return;  // cut short: the rest of the file is dropped
            ++records;
            if (kind == kVideo)
                video[uid].packet(&b[pos], len);
            else
                audio[uid].packet(&b[pos], len);
            pos += len;
        }
    }
};

// ------------------------------------------------------------------------------------------------
// Capture files

// The audio record's leading field: by default the recorder's capture time in ms from the start
// of the capture; with --lead, microseconds since 1970, zeros or noise.
struct LeadField {
    std::string mode;
    int64_t epoch_us = 0;
    Rng rng{0};
    uint64_t value(double time) {
        if (mode == "capture")
            return static_cast<uint64_t>(epoch_us + static_cast<int64_t>(std::llround(time * 1e6)));
        if (mode == "zeros") return 0;
        if (mode == "junk") return rng.next();
        return static_cast<uint64_t>(time * 1000.0);
    }
};

void append_record(Bytes& file, int kind, uint32_t uid, const Bytes& packet, double time,
                   LeadField& lead) {
    if (kind == kVideo) {
        put_le32(file, static_cast<uint32_t>(packet.size()));
        put_le32(file, uid);
    } else {
        put_le64(file, lead.value(time));  // the recorder's capture time
        put_le32(file, uid);
        put_le32(file, static_cast<uint32_t>(packet.size()));
    }
    file.insert(file.end(), packet.begin(), packet.end());
}

void write_file(const std::string& path, const Bytes& b) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) throw RunError("cannot create " + path + ": " + strerror(errno));
    size_t n = b.empty() ? 0 : fwrite(b.data(), 1, b.size(), f);
    int close_err = fclose(f);
    if (n != b.size() || close_err != 0)
        throw RunError("cannot write " + path + ": " + strerror(errno));
}

void make_dir(const std::string& path) {
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
        throw RunError("cannot create directory " + path + ": " + strerror(errno));
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw RunError(path + " is not a directory");
}

struct KindResult {
    uint64_t bytes = 0;
    uint64_t records = 0;
    int files = 0;
};

KindResult write_kind(const Options& o, int kind, const std::vector<UserStream>& users,
                      PassModel& model) {
    KindResult res;
    if (users.empty()) return res;
    LeadField lead;
    lead.mode = o.lead;
    lead.epoch_us = o.epoch_ms * 1000;
    lead.rng = rng_for(o.seed, kPurposeLead, static_cast<uint64_t>(kind));
    // Interleave all users in capture-time order; ties keep user order, then stream order.
    std::vector<std::pair<double, std::pair<int, size_t>>> order;
    for (size_t u = 0; u < users.size(); ++u)
        for (size_t i = 0; i < users[u].packets.size(); ++i)
            order.push_back({users[u].packets[i].time, {static_cast<int>(u), i}});
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    const size_t total = order.size();
    // A wrapped capture is described by the media it carries: the plain packets as sent, whole.
    bool shadow = false;
    for (const UserStream& us : users) shadow = shadow || !us.plain.empty();
    if (shadow) {
        std::vector<std::pair<double, const Packet*>> plain;
        for (size_t u = 0; u < users.size(); ++u)
            for (const Packet& p : users[u].plain) plain.push_back({p.time, &p});
        std::stable_sort(plain.begin(), plain.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        std::map<const Packet*, uint32_t> uid_of;
        for (const UserStream& us : users)
            for (const Packet& p : us.plain) uid_of[&p] = us.uid;
        Bytes b;
        for (const auto& entry : plain)
            append_record(b, kind, uid_of[entry.second], entry.second->bytes, entry.first, lead);
        model.file(b);
    }
    Rng rs = rng_for(o.seed, kPurposeStray, static_cast<uint64_t>(kind));
    Rng rf = rng_for(o.seed, kPurposeFile, static_cast<uint64_t>(kind));
    const size_t head = kind == kVideo ? 8 : 16;
    int64_t previous_key = INT64_MIN / 2;
    for (int f = 0; f < o.files; ++f) {
        const size_t first = total * static_cast<size_t>(f) / static_cast<size_t>(o.files);
        const size_t last = total * static_cast<size_t>(f + 1) / static_cast<size_t>(o.files);
        Bytes b;
        size_t last_record_start = 0;
        bool has_record = false;
        for (size_t i = first; i < last; ++i) {
            for (const auto& z : o.zero_record) {
                if (z.first == kind && static_cast<size_t>(z.second) == i) {
                    // A head announcing an empty packet; the uid is that of the record it precedes.
                    const uint32_t uid = users[static_cast<size_t>(order[i].second.first)].uid;
                    append_record(b, kind, uid, Bytes(), order[i].first, lead);
                }
            }
            const UserStream& us = users[static_cast<size_t>(order[i].second.first)];
            const Packet& p = us.packets[order[i].second.second];
            last_record_start = b.size();
            has_record = true;
            append_record(b, kind, us.uid, p.bytes, p.time, lead);
        }
        for (const auto& c : o.cut_short) {
            if (c.kind != kind || (c.file == -1 ? o.files - 1 : c.file) != f || !has_record)
                continue;
            // Keep at least one byte and lose at least one: cut inside the head or the packet.
            const size_t size = b.size() - last_record_start;
            b.resize(last_record_start + 1 + rf.below(static_cast<uint32_t>(size - 1)));
            has_record = false;
        }
        // A zero-length record past the last packet goes after the cut, so it is not cut away.
        if (f == o.files - 1) {
            for (const auto& z : o.zero_record)
                if (z.first == kind && static_cast<size_t>(z.second) >= total)
                    append_record(b, kind, users[0].uid, Bytes(), 0, lead);
        }
        for (const auto& s : o.stray) {
            if (s.kind != kind || (s.file == -1 ? o.files - 1 : s.file) != f) continue;
            Bytes stray(static_cast<size_t>(s.value));
            for (auto& byte : stray) byte = static_cast<uint8_t>(rs.next());
            if (stray.size() >= head) {
                // A whole head could announce Length 0 (ending the pass) or a record that fits;
                // stray bytes must do neither, so the Length they hold runs past the file's end.
                const uint32_t len =
                    static_cast<uint32_t>(stray.size() - head + 1 + rs.below(1000));
                uint8_t* lp = &stray[kind == kVideo ? 0 : 12];
                for (int k = 0; k < 4; ++k) lp[k] = static_cast<uint8_t>(len >> (8 * k));
            }
            b.insert(b.end(), stray.begin(), stray.end());
        }
        int64_t key = o.keys[static_cast<size_t>(f)];
        if (!o.time_names.empty()) {
            // The recorder's time when the file was started: that of its first record.
            const double t = first < total ? order[first].first : o.duration;
            const double us = static_cast<double>(o.epoch_ms) * 1000 + t * 1e6;
            const double unit = o.time_names == "s" ? 1e6 : o.time_names == "ms" ? 1e3 : 1;
            key = std::max(static_cast<int64_t>(std::floor(us / unit)), previous_key + 1);
        }
        previous_key = key;
        char name[64];
        snprintf(name, sizeof name, "_%lld.%s", static_cast<long long>(key), kind_name(kind));
        write_file(o.out + "/" + o.prefix + name, b);
        if (!shadow) model.file(b);
        res.bytes += b.size();
        res.records += last - first;
        ++res.files;
    }
    return res;
}

// ------------------------------------------------------------------------------------------------
// The recording clock: when streams start, how their clocks run, and the senders' reports

// --camera-delay, --join, --audio-drift and --mic-pause move the capture times of a stream's
// packets; the packets themselves stay as they are.
void retime(const Options& o, int kind, UserStream& us) {
    for (std::vector<Packet>* packets : {&us.packets, &us.plain}) {
        if (packets->empty()) continue;
        double first = packets->front().time;
        for (const Packet& p : *packets) first = std::min(first, p.time);
        for (Packet& p : *packets) {
            const double media = p.time - first;
            double t = first + media / (1 + (kind == kAudio ? o.audio_drift_ppm / 1e6 : 0));
            if (kind == kAudio && o.mic_pause_at >= 0 && media >= o.mic_pause_at)
                t += o.mic_pause_sec;
            if (kind == kVideo) t += o.camera_delay;
            for (const auto& j : o.join)
                if (j.first == us.index) t += j.second;
            p.time = t;
        }
    }
}

uint64_t ntp_of(int64_t unix_us) {
    const uint64_t seconds = static_cast<uint64_t>(unix_us / 1000000) + 2208988800ULL;
    const uint64_t fraction = (static_cast<uint64_t>(unix_us % 1000000) << 32) / 1000000;
    return (seconds << 32) | fraction;
}

// One report per stream and second of capture time, as a sender makes them: the NTP time of the
// instant and the RTP time its clock reads then, extrapolated from the last packet it sent (so a
// stalled clock shows in the reports that follow the pause). The recorder notes each 1 ms later.
void write_sender_reports(const Options& o, const std::vector<UserStream>& video,
                          const std::vector<UserStream>& audio) {
    std::string text = "# transcode sender reports 1\n";
    for (int kind : {kVideo, kAudio}) {
        for (const UserStream& us : kind == kVideo ? video : audio) {
            const std::vector<Packet>& packets = us.plain.empty() ? us.packets : us.plain;
            struct Sent {
                double time;
                uint32_t ts;
                uint32_t ssrc;
            };
            std::vector<Sent> sent;
            uint32_t media_ssrc = 0;
            for (const Packet& p : packets) {
                if (p.bytes.size() < 12) continue;
                const uint32_t ssrc = get_be32(&p.bytes[8]);
                if (sent.empty()) media_ssrc = ssrc;
                if (ssrc != media_ssrc && ssrc != restarted_ssrc(media_ssrc)) continue;
                sent.push_back({p.time, get_be32(&p.bytes[4]), ssrc});
            }
            if (sent.empty()) continue;
            std::stable_sort(sent.begin(), sent.end(),
                             [](const Sent& a, const Sent& b) { return a.time < b.time; });
            const double rate = kind == kVideo ? 90000.0 : 48000.0 * (1 + o.audio_drift_ppm / 1e6);
            size_t last = 0;
            for (double at = sent.front().time + 0.5; at <= sent.back().time; at += 1.0) {
                while (last + 1 < sent.size() && sent[last + 1].time <= at) ++last;
                const Sent& p = sent[last];
                const uint32_t ts =
                    p.ts + static_cast<uint32_t>(std::llround((at - p.time) * rate));
                const int64_t us_at = o.epoch_ms * 1000 + std::llround(at * 1e6);
                char line[160];
                snprintf(line, sizeof line, "%u %s %u %llu %u %lld\n", us.uid, kind_name(kind),
                         p.ssrc, static_cast<unsigned long long>(ntp_of(us_at)), ts,
                         static_cast<long long>(us_at + 1000));
                text += line;
            }
        }
    }
    write_file(o.out + "/sender_reports.txt", Bytes(text.begin(), text.end()));
}

// ------------------------------------------------------------------------------------------------
// Sources as sent, for tests that compare the capture against the media that went in

void save_ivf(const std::string& path, const Clip& clip, const std::vector<const Frame*>& frames,
              const std::string& codec) {
    Bytes b;
    b.insert(b.end(), {'D', 'K', 'I', 'F'});
    put_le16(b, 0);
    put_le16(b, 32);
    const char* fourcc = codec == "vp9"    ? "VP90"
                         : codec == "av1"  ? "AV01"
                         : codec == "h264" ? "H264"
                                           : "VP80";
    b.insert(b.end(), fourcc, fourcc + 4);
    put_le16(b, static_cast<uint16_t>(clip.width));
    put_le16(b, static_cast<uint16_t>(clip.height));
    put_le32(b, 90000);
    put_le32(b, 1);
    put_le32(b, static_cast<uint32_t>(frames.size()));
    put_le32(b, 0);
    uint64_t pts = 0;
    for (const Frame* f : frames) {
        put_le32(b, static_cast<uint32_t>(f->data.size()));
        put_le64(b, pts);
        b.insert(b.end(), f->data.begin(), f->data.end());
        pts += f->duration;
    }
    write_file(path, b);
}

void save_ogg_opus(const std::string& path, const Clip& clip, uint32_t serial,
                   const std::vector<const Frame*>& frames) {
    ogg_stream_state os;
    if (ogg_stream_init(&os, static_cast<int>(serial)) != 0) throw RunError("libogg: init failed");
    Bytes out;
    auto drain = [&](bool flush) {
        ogg_page pg;
        while (flush ? ogg_stream_flush(&os, &pg) : ogg_stream_pageout(&os, &pg)) {
            out.insert(out.end(), pg.header, pg.header + pg.header_len);
            out.insert(out.end(), pg.body, pg.body + pg.body_len);
        }
    };
    Bytes head = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, static_cast<uint8_t>(clip.channels)};
    put_le16(head, static_cast<uint16_t>(clip.preskip));
    put_le32(head, 48000);
    put_le16(head, 0);
    head.push_back(0);
    Bytes tags = {'O', 'p', 'u', 's', 'T', 'a', 'g', 's'};
    const std::string vendor = "capture_synth";
    put_le32(tags, static_cast<uint32_t>(vendor.size()));
    tags.insert(tags.end(), vendor.begin(), vendor.end());
    put_le32(tags, 0);
    ogg_packet op{};
    op.packet = head.data();
    op.bytes = static_cast<long>(head.size());
    op.b_o_s = 1;
    ogg_stream_packetin(&os, &op);
    drain(true);
    op = ogg_packet{};
    op.packet = tags.data();
    op.bytes = static_cast<long>(tags.size());
    op.packetno = 1;
    ogg_stream_packetin(&os, &op);
    drain(true);
    int64_t granule = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        granule += frames[i]->duration;
        op = ogg_packet{};
        op.packet = const_cast<unsigned char*>(frames[i]->data.data());
        op.bytes = static_cast<long>(frames[i]->data.size());
        op.granulepos = granule;
        op.packetno = static_cast<int64_t>(i) + 2;
        op.e_o_s = i + 1 == frames.size();
        ogg_stream_packetin(&os, &op);
        drain(false);
    }
    drain(true);
    ogg_stream_clear(&os);
    write_file(path, out);
}

// ------------------------------------------------------------------------------------------------

std::vector<uint32_t> choose_uids(const Options& o, size_t n) {
    if (!o.uids.empty()) return o.uids;
    Rng r = rng_for(o.seed, kPurposeUid, 0);
    std::vector<uint32_t> u;
    while (u.size() < n) {
        // Mostly small ids of mixed digit counts, now and then a large one.
        uint32_t id = r.chance(0.25) ? static_cast<uint32_t>(r.next()) : 1 + r.below(99999);
        if (id != 0 && std::find(u.begin(), u.end(), id) == u.end()) u.push_back(id);
    }
    return u;
}

void write_manifest(const Options& o, const PassModel models[2], const std::vector<uint32_t>& uids,
                    const std::string& path) {
    std::string s;
    char line[256];
    s += "capture_synth manifest 1\n";
    s += "# Lines: 'user UID KIND COUNT' opens the entries of one output file; for video\n";
    s += "# 'frame RTP_TIMESTAMP SIZE FNV1A64', for audio 'packet SIZE FNV1A64 SAMPLES_48K SEQ',\n";
    s += "# in output order. A user listed here gets a file even when COUNT is 0.\n";
    snprintf(line, sizeof line, "# seed %llu, %d files per kind, users",
             static_cast<unsigned long long>(o.seed), o.files);
    s += line;
    for (uint32_t u : uids) s += " " + std::to_string(u);
    s += "\n";
    for (int kind = 0; kind < 2; ++kind) {
        const PassModel& m = models[kind];
        snprintf(line, sizeof line, "# %s: %llu records read%s\n", kind_name(kind),
                 static_cast<unsigned long long>(m.records),
                 m.ended ? ", pass ended by a record of Length 0" : "");
        s += line;
        if (kind == kVideo) {
            for (const auto& [uid, v] : m.video) {
                snprintf(line, sizeof line, "user %u video %zu\n", uid, v.frames.size());
                s += line;
                for (const auto& f : v.frames) {
                    snprintf(line, sizeof line, "frame %u %zu %016llx\n", f.ts, f.size,
                             static_cast<unsigned long long>(f.hash));
                    s += line;
                }
            }
        } else {
            for (const auto& [uid, a] : m.audio) {
                snprintf(line, sizeof line, "user %u audio %zu\n", uid, a.packets.size());
                s += line;
                for (const auto& p : a.packets) {
                    snprintf(line, sizeof line, "packet %zu %016llx %d %u\n", p.size,
                             static_cast<unsigned long long>(p.hash), p.samples, p.seq);
                    s += line;
                }
            }
        }
    }
    s += "end\n";
    write_file(path, Bytes(s.begin(), s.end()));
}

int run(const Options& o) {
    make_dir(o.out);
    if (!o.save_sources.empty()) make_dir(o.save_sources);
    const size_t nusers = static_cast<size_t>(std::max(o.video_users, o.audio_users));
    const std::vector<uint32_t> uids = choose_uids(o, nusers);

    // Media: one shared clip (input file or --clip-frames) or one encode per user.
    const bool shared = o.clip_frames > 0;
    const int total_frames = std::max(1, static_cast<int>(std::lround(o.duration * o.fps)));
    const int clip_frames = shared ? std::min(o.clip_frames, total_frames) : total_frames;
    std::vector<Clip> video_clips, audio_clips;
    if (o.video_users > 0) {
        if (!o.video_in.empty()) {
            video_clips.push_back(read_ivf(o.video_in, o.fps));
        } else {
            for (int u = 0; u < (shared ? 1 : o.video_users); ++u) {
                Clip c;
                c.width = o.width;
                c.height = o.height;
                c.fps = o.fps;
                c.frames = encode_video(o, clip_frames, u);
                video_clips.push_back(std::move(c));
            }
        }
    }
    if (o.audio_users > 0) {
        if (!o.audio_in.empty()) {
            audio_clips.push_back(read_ogg_opus(o.audio_in));
        } else {
            const double seconds = shared ? static_cast<double>(clip_frames) / o.fps : o.duration;
            for (int u = 0; u < (shared ? 1 : o.audio_users); ++u) {
                Clip c;
                c.channels = o.channels;
                c.frames = encode_opus(o, std::min(seconds, o.duration), u, &c.preskip);
                audio_clips.push_back(std::move(c));
            }
        }
    }

    std::vector<UserStream> video, audio;
    for (int u = 0; u < o.video_users; ++u) {
        const Clip& clip = video_clips[std::min(static_cast<size_t>(u), video_clips.size() - 1)];
        RtpVariant v{per_user(o.csrc, u), per_user(o.ext, u), per_user(o.padding, u)};
        video.push_back(make_video_stream(o, u, uids[static_cast<size_t>(u)], clip, v,
                                          per_user(o.vp8_desc, static_cast<size_t>(u))));
        if (!o.save_sources.empty())
            save_ivf(
                o.save_sources + "/video_" + std::to_string(uids[static_cast<size_t>(u)]) + ".ivf",
                clip, video.back().sent, o.codec);
    }
    for (int u = 0; u < o.audio_users; ++u) {
        const Clip& clip = audio_clips[std::min(static_cast<size_t>(u), audio_clips.size() - 1)];
        RtpVariant v{per_user(o.csrc, u), per_user(o.ext, u), per_user(o.padding, u)};
        audio.push_back(make_audio_stream(o, u, uids[static_cast<size_t>(u)], clip, v));
        if (!o.save_sources.empty())
            save_ogg_opus(
                o.save_sources + "/audio_" + std::to_string(uids[static_cast<size_t>(u)]) + ".opus",
                clip, uids[static_cast<size_t>(u)], audio.back().sent);
    }

    for (UserStream& us : video) retime(o, kVideo, us);
    for (UserStream& us : audio) retime(o, kAudio, us);
    if (o.sender_reports) write_sender_reports(o, video, audio);

    PassModel models[2];
    models[kVideo].kind = kVideo;
    models[kAudio].kind = kAudio;
    KindResult vr = write_kind(o, kVideo, video, models[kVideo]);
    video.clear();
    KindResult ar = write_kind(o, kAudio, audio, models[kAudio]);
    audio.clear();
    write_manifest(o, models,
                   std::vector<uint32_t>(uids.begin(), uids.begin() + static_cast<long>(nusers)),
                   o.out + "/" + o.manifest);
    if (!o.quiet) {
        printf("video: %d files, %llu records, %llu bytes\n", vr.files,
               static_cast<unsigned long long>(vr.records),
               static_cast<unsigned long long>(vr.bytes));
        printf("audio: %d files, %llu records, %llu bytes\n", ar.files,
               static_cast<unsigned long long>(ar.records),
               static_cast<unsigned long long>(ar.bytes));
        printf("manifest: %s/%s\n", o.out.c_str(), o.manifest.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    try {
        bool help = false;
        o = parse_args(argc, argv, &help);
        if (help) {
            fputs(kHelp, stdout);
            return 0;
        }
        return run(o);
    } catch (const UsageError& e) {
        fprintf(stderr, "capture_synth: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        fprintf(stderr, "capture_synth: %s\n", e.what());
        return 1;
    }
}
