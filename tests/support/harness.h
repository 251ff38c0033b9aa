// Round-trip test harness: runs the capture synthesizer and the converter as processes and reads
// back what they wrote (capture files, manifests, IVF and Ogg files), with decode checks through
// libvpx and opusfile.
//
// Paths of the binaries come from the compile definitions TRANSCODE_BIN, CAPTURE_SYNTH_BIN (when
// the tool is built) and SOURCE_DIR. Every reader returns false and fills `*error` with a
// one-line reason instead of throwing, so tests can ASSERT_TRUE(read_x(..., &err)) << err.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace harness {

// ---- Files and processes --------------------------------------------------------------------

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
// Its path holds no '_' and no '.', so it can serve directly as the converter's work path: pass
// `slash()` (the path with a trailing '/'), since the converter joins path and name with nothing
// in between.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string slash() const { return path_ + "/"; }
    // Path of `name` inside the directory (a sub-path like "a/b" is fine).
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Creates the subdirectory `name` and returns its path (no trailing '/').
    std::string subdir(const std::string& name) const;

private:
    std::string path_;
};

struct ProcessResult {
    int status = -1;  // exit status; 128 + signal number when killed by a signal; -1: not started
    std::string out;  // everything written to standard output
    std::string err;  // everything written to standard error
};

// Runs argv[0] (a path, no PATH search) with the given arguments in `cwd` (empty: the current
// directory), standard input closed, and collects both output streams.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd = "");

// Runs the capture synthesizer with `args` (see `capture_synth --help`). Fails the calling test
// (ADD_FAILURE) when the tool is not built.
ProcessResult run_capture_synth(const std::vector<std::string>& args);

enum class Kind { video, audio };
const char* kind_name(Kind kind);  // "video" / "audio"

// Key of one output file or manifest stream.
using StreamKey = std::pair<uint32_t, Kind>;

struct ConverterRun {
    int status = -1;
    std::string out;
    std::string err;
    // Output files found in out_dir after the run, by user id and kind: "<date>_<time>_<uid>.mkv"
    // is video, ".ogg" is audio; the uid is the text between the last '_' and the '.'. Full paths.
    std::map<StreamKey, std::string> files;
    // Names in out_dir that are not such output files (or a second file for the same key).
    std::vector<std::string> other_files;
};

// Runs the converter in `out_dir` (where it writes its files): "-p work_dir_arg" first when
// work_dir_arg is not empty, then `args` as given (e.g. {"-v", "-a"}), then lists out_dir.
ConverterRun run_converter(const std::string& work_dir_arg, const std::vector<std::string>& args,
                           const std::string& out_dir);

// Whole file contents; false (with *error, when given) when it cannot be read or written.
bool read_file(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);
bool write_file(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);
// Names in `dir` without "." and "..", sorted.
std::vector<std::string> list_names(const std::string& dir);

// ---- Hashing --------------------------------------------------------------------------------

// 64-bit FNV-1a (offset basis 0xcbf29ce484222325, prime 0x100000001b3), as in the manifests.
uint64_t fnv1a64(const void* data, size_t size);
inline uint64_t fnv1a64(const std::vector<uint8_t>& v) {
    return fnv1a64(v.data(), v.size());
}

// ---- Capture files --------------------------------------------------------------------------

// Capture files of one kind in `dir`, in the converter's order: ascending by the signed number
// after the first '_' of the name (names without one sort as key 0). Full paths.
std::vector<std::string> list_capture_files(const std::string& dir, Kind kind);

struct CaptureRecord {
    uint32_t uid = 0;
    std::vector<uint8_t> packet;  // the RTP packet, header included
    uint64_t leading = 0;         // audio: the 8-byte leading field (not interpreted); video: 0
    size_t file_index = 0;        // index into the file list
};

struct CaptureStream {
    std::vector<std::string> files;  // as list_capture_files
    std::vector<CaptureRecord> records;
    bool ended_by_zero = false;  // a record of Length 0 ended the stream
    int cut_files = 0;           // files whose tail (cut-short record or stray bytes) was dropped
};

// Reads all capture files of one kind from `dir` as one stream of records: video heads are
// Length, User id; audio heads 8 ignored bytes, User id, Length (all little-endian u32). A head or
// packet cut short drops the rest of its file; a record of Length 0 ends the stream.
bool read_capture_dir(const std::string& dir, Kind kind, CaptureStream* out, std::string* error);

// ---- Manifest (written by capture_synth) ----------------------------------------------------

struct ManifestFrame {
    uint32_t timestamp = 0;  // RTP timestamp = IVF frame timestamp
    uint32_t size = 0;
    uint64_t hash = 0;  // fnv1a64 of the frame bytes
};
struct ManifestPacket {
    uint32_t size = 0;
    uint64_t hash = 0;  // fnv1a64 of the Opus packet
    int samples = 0;    // at 48 kHz; the granule position advances by this much
    uint16_t seq = 0;   // RTP sequence number
};
struct ManifestStream {
    uint32_t uid = 0;
    Kind kind = Kind::video;
    std::vector<ManifestFrame> frames;    // video
    std::vector<ManifestPacket> packets;  // audio
};
struct Manifest {
    // Every (uid, kind) for which the converter creates a file, even with no entry.
    std::map<StreamKey, ManifestStream> streams;
};

bool read_manifest(const std::string& path, Manifest* out, std::string* error);

// ---- IVF ------------------------------------------------------------------------------------

struct IvfHeader {
    char signature[5] = {};  // "DKIF", zero-terminated
    uint16_t version = 0;
    uint16_t header_size = 0;
    char fourcc[5] = {};  // "VP80", zero-terminated
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t rate = 0;
    uint32_t scale = 0;
    uint64_t length_field = 0;  // bytes 24..31 as one little-endian u64
};
struct IvfFrame {
    uint32_t size = 0;
    uint64_t timestamp = 0;
    std::vector<uint8_t> data;
};
struct IvfFile {
    IvfHeader header;
    std::vector<IvfFrame> frames;
    size_t trailing_bytes = 0;  // bytes after the last whole frame record (a cut-short record)
};

// Reads a 32-byte header and the frame records that follow it; false only when the header is
// missing or not "DKIF".
bool read_ivf(const std::string& path, IvfFile* out, std::string* error);

// ---- Ogg ------------------------------------------------------------------------------------

struct OggPageInfo {
    uint8_t version = 0;
    uint8_t header_type = 0;  // 0x01 continued, 0x02 beginning of stream, 0x04 end of stream
    int64_t granulepos = 0;
    uint32_t serial = 0;
    uint32_t sequence = 0;
    uint32_t crc = 0;     // as stored
    bool crc_ok = false;  // stored CRC equals the one computed over the page
    int segments = 0;
    size_t header_len = 0;
    size_t body_len = 0;
    size_t offset = 0;  // of "OggS" in the file
};
struct OggPacketInfo {
    std::vector<uint8_t> data;
    int64_t granulepos = -1;  // as libogg reports it: set on a page's last completed packet
    int64_t packetno = 0;     // libogg's running count (the file does not store packet numbers)
    bool bos = false;
    bool eos = false;
};
struct OggFile {
    std::vector<OggPageInfo> pages;      // every page, in file order, parsed and CRC-checked here
    std::vector<OggPacketInfo> packets;  // the first logical stream, through ogg_sync/ogg_stream
    size_t unparsed_bytes = 0;           // bytes that were not part of a whole page
};

// False when the file cannot be read or holds no page at all.
bool read_ogg(const std::string& path, OggFile* out, std::string* error);

// ---- Decoders -------------------------------------------------------------------------------

struct VpxCheck {
    bool ok = false;     // every frame decoded
    int decoded = 0;     // frames decoded before the first failure
    std::string error;   // libvpx's reason for the first failure
    unsigned width = 0;  // size of the last decoded picture
    unsigned height = 0;
};
// Decodes every frame with libvpx's VP8 decoder, in order.
VpxCheck vpx_decode_all(const std::vector<IvfFrame>& frames);

struct OpusCheck {
    bool ok = false;      // opened and read to the end without error
    int64_t samples = 0;  // decoded samples per channel (48 kHz), pre-skip already removed
    int channels = 0;
    int64_t pcm_total = 0;  // op_pcm_total: last granule position minus pre-skip
    std::string error;
};
// Opens an Ogg Opus file with opusfile and decodes it all.
OpusCheck opusfile_decode(const std::string& path);

// ---- Comparisons ----------------------------------------------------------------------------

// Fails the calling test unless two of the converter's output files of `kind` carry the same
// media: IVF files (nothing random in them) the same bytes, Ogg files (each stream has a serial
// number of its own) the same packets with the same granule positions. Call it inside
// ASSERT_NO_FATAL_FAILURE to stop at a file that cannot be read.
void expect_same_media(Kind kind, const std::string& want, const std::string& got);

}  // namespace harness
