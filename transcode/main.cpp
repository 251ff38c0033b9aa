// The command-line driver: options, the scan of the work directory, the two passes; beside it the
// single-file Opus converter's driver and the timestamp self-test, which the command line does not
// reach.
#include "main.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "align_outputs.h"
#include "clock_watch.h"
#include "compose.h"
#include "mult_file_trans.h"
#include "output_dir.h"
#include "progress.h"
#include "recording_clock.h"
#include "run_options.h"
#include "run_report.h"
#include "sdp_map.h"
#include "utils.h"
#include "webm_mux.h"

std::string work_path;
bool trans_video = false;
bool trans_audio = false;

namespace {

constexpr size_t kSingleFileBufferSize = 0x200000;

}  // namespace

bool arg_test(const char* arg, const char* long_form, const char* short_form) {
    if (arg == nullptr) return false;
    return (long_form != nullptr && strcmp(arg, long_form) == 0) ||
           (short_form != nullptr && strcmp(arg, short_form) == 0);
}

void GetFileLists(std::vector<std::string>& list, const std::string& path,
                  const std::string& suffix) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        printf("can't open dir %s\n", path.c_str());
        fflush(stdout);
        return;
    }
    while (struct dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        const size_t len = strlen(name);
        if (len < suffix.size() || memcmp(name + len - suffix.size(), suffix.data(), suffix.size()))
            continue;
        list.push_back(path + name);
    }
    closedir(dir);
}

int64_t get_file_time(const std::string& path) {
    const size_t dot = path.rfind('.');
    const size_t underscore = path.find('_');
    if (dot == std::string::npos || underscore == std::string::npos) return 0;
    const size_t end = dot > underscore ? dot : path.size();
    const std::string text = path.substr(underscore + 1, end - underscore - 1);
    // strtoll gives 0 without digits and clamps at the 64-bit limits, so every path has a key.
    return strtoll(text.c_str(), nullptr, 10);
}

bool compare(const std::string& a, const std::string& b) {
    return get_file_time(a) < get_file_time(b);
}

bool compare_listed(const std::string& work, const std::string& a, const std::string& b) {
    if (compare(a, b)) return true;
    if (compare(b, a)) return false;
    // A '_' in the work path gives every path the same key; the entry names still tell the
    // recorder's order, and the names themselves settle what is left, so every run agrees.
    const std::string name_a = a.compare(0, work.size(), work) == 0 ? a.substr(work.size()) : a;
    const std::string name_b = b.compare(0, work.size(), work) == 0 ? b.substr(work.size()) : b;
    const int64_t key_a = get_file_time(name_a);
    const int64_t key_b = get_file_time(name_b);
    if (key_a != key_b) return key_a < key_b;
    return name_a < name_b;
}

// Reads one record of the single-file converter's input. 0: a whole record is in `buffer`;
// -1: the input has no further whole record; -2: the record was longer than `buffer` and has been
// skipped.
int read_zel_audio(opus_context* ctx, uint64_t* length, uint8_t* buffer, uint32_t* uid) {
    *uid = 0;
    uint8_t ignored[8];
    uint32_t id = 0;
    uint32_t len = 0;
    if (fread(ignored, sizeof(ignored), 1, ctx->in) != 1) return -1;
    if (fread(&id, sizeof(id), 1, ctx->in) != 1) return -1;
    if (fread(&len, sizeof(len), 1, ctx->in) != 1) return -1;
    if (len > kSingleFileBufferSize) {
        fprintf(stderr, "skipping a record of %" PRIu32 " bytes: larger than the %zu-byte buffer\n",
                len, kSingleFileBufferSize);
        if (fseek(ctx->in, len, SEEK_CUR) != 0) return -1;
        return -2;
    }
    if (len > 0 && fread(buffer, len, 1, ctx->in) != 1) return -1;
    *length = len;
    *uid = id;
    return 0;
}

void tran_opus_ogg() {
    static uint8_t buffer[kSingleFileBufferSize];
    opus_context context;
    if (initOpus2Ogg(&context, "out1.ogg", "a_1650598869249.audio") != 0) return;
    uint64_t length = 0;
    uint32_t uid = 0;
    for (;;) {
        const int rc = read_zel_audio(&context, &length, buffer, &uid);
        if (rc == -1) break;
        if (rc == 0) loop_opus2ogg(buffer, static_cast<int>(length), &context, uid);
    }
    destory_opus2ogg(&context);
}

int64_t getTimeStamp() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void w_le32(uint8_t* buffer, int offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) buffer[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void w_le64(uint8_t* buffer, int offset, uint64_t value) {
    for (int i = 0; i < 8; ++i) buffer[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void testwrite() {
    const int64_t t = getTimeStamp();
    uint8_t record[12];
    w_le32(record, 0, 0x13880036);
    w_le64(record, 4, static_cast<uint64_t>(t));
    FILE* out = fopen("test.v", "wb");
    if (out == nullptr) {
        printf("error:\n");
        return;
    }
    fwrite(record, sizeof(record), 1, out);
    fclose(out);
    printf("----------------- tm:%" PRId64 "\n", t);

    FILE* in = fopen("test.v", "rb");
    if (in == nullptr) {
        printf("error:\n");
        return;
    }
    uint32_t value = 0;
    uint64_t stamp = 0;
    if (fread(&value, sizeof(value), 1, in) != 1) printf("error:\n");
    if (fread(&stamp, sizeof(stamp), 1, in) != 1) printf("error:\n");
    printf("read data :%" PRIu32 "  tm:%" PRIu64 " oldtm:%" PRId64 "\n", value, stamp, t);
    fclose(in);
}

#ifndef TRANSCODE_NO_MAIN
namespace {

// Written by the interrupt handler, so it has the one type a handler may store into.
volatile sig_atomic_t exitFlag = 0;

constexpr char kHelpText[] =
    "-p, --path: work direct \n"
    "-v, --video: transcode video files.\n"
    "-a, --audio transcode audio files.\n"
    "-h, --help: Get list of available commands.\n\n";
constexpr char kUsageText[] =
    "-p, --path: work direct.\n"
    "-v, --video: transcode video files.\n"
    "-a, --audio transcode audio files.\n"
    "-h, --help: Get list of available commands.\n\n";
constexpr char kVersionLine[] = "version, 0.0.1\n";

void print_line(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

void on_interrupt(int) {
    static const char kLine[] = "application will close\n";
    // Only async-signal-safe calls here: stdio may be in the middle of a write.
    ssize_t ignored = write(STDOUT_FILENO, kLine, sizeof(kLine) - 1);
    (void)ignored;
    exitFlag = 1;
}

// Thousands of users each hold an open output file during a pass; take every descriptor the
// system allows rather than fail at the soft limit.
void raise_open_file_limit() {
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

// strtol alone would also take " 12", "+12" and "-0"; a window is plain digits.
bool all_digits(const char* text) {
    if (text == nullptr || *text == '\0') return false;
    for (const char* c = text; *c != '\0'; ++c)
        if (*c < '0' || *c > '9') return false;
    return true;
}

bool parse_reorder_window(const char* text) {
    // Not digits gives 0, too many gives LONG_MAX: both outside the range.
    const long n = all_digits(text) ? strtol(text, nullptr, 10) : 0;
    if (n < kReorderWindowMin || n > kReorderWindowMax) {
        fprintf(stderr, "transcode: --reorder-window takes a number of packets from %u to %u\n",
                kReorderWindowMin, kReorderWindowMax);
        return false;
    }
    run_options.reorder_window = static_cast<uint32_t>(n);
    return true;
}

// --compose-size WxH: even sizes (4:2:0 chroma) from 64 to 4096 each way.
bool parse_compose_size(const char* text) {
    const char* x = text != nullptr ? strchr(text, 'x') : nullptr;
    const std::string w = x != nullptr ? std::string(text, x) : std::string();
    const long width = x != nullptr && all_digits(w.c_str()) ? strtol(w.c_str(), nullptr, 10) : 0;
    const long height = x != nullptr && all_digits(x + 1) ? strtol(x + 1, nullptr, 10) : 0;
    if (width < 64 || width > 4096 || height < 64 || height > 4096 || width % 2 != 0 ||
        height % 2 != 0) {
        fprintf(stderr, "transcode: --compose-size takes WIDTHxHEIGHT, even, 64 to 4096 each\n");
        return false;
    }
    run_options.compose_width = static_cast<int>(width);
    run_options.compose_height = static_cast<int>(height);
    return true;
}

// --compose-rate N: frames per second, 1 to 60.
bool parse_compose_rate(const char* text) {
    const long n = all_digits(text) ? strtol(text, nullptr, 10) : 0;
    if (n < 1 || n > 60) {
        fprintf(stderr,
                "transcode: --compose-rate takes a number of frames per second from 1 to 60\n");
        return false;
    }
    run_options.compose_rate = static_cast<int>(n);
    return true;
}

// The value that follows the option at argv[*i], which is consumed. An option whose value is
// missing or empty is a usage error: "-o ''" would quietly write into the current directory, and
// a trailing "--report" would quietly write no report.
const char* option_value(int argc, char** argv, int* i, const char* what) {
    const char* option = argv[*i];
    ++*i;
    if (*i < argc && argv[*i][0] != '\0') return argv[*i];
    fprintf(stderr, "transcode: %s needs %s\n", option, what);
    exit(1);
}

void run_pass(const std::vector<std::string>& files, bool video) {
    print_line(video ? "start trans video\n" : "start trans audio\n");
    progress_begin(video ? "video" : "audio", files_size(files));
    auto trans = std::make_unique<MultFileTrans>();
    trans->set_all_files(files);
    trans->watch = clock_watch();
    trans->start_trans_code(video);
    recording_clock().pass_end(video);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (arg_test(argv[i], "--path", "-p")) {
            ++i;
            if (i < argc) work_path = argv[i];
        } else if (arg_test(argv[i], "--video", "-v")) {
            trans_video = true;
        } else if (arg_test(argv[i], "--audio", "-a")) {
            trans_audio = true;
        } else if (arg_test(argv[i], "--help", "-h")) {
            print_line(kHelpText);
            print_line(kVersionLine);
            exit(0);
        } else if (arg_test(argv[i], "--output", "-o")) {
            run_options.output_dir = option_value(argc, argv, &i, "a directory");
        } else if (arg_test(argv[i], "--report", nullptr)) {
            run_options.report_path = option_value(argc, argv, &i, "a file name");
        } else if (arg_test(argv[i], "--repair", nullptr)) {
            run_options.repair = true;
        } else if (arg_test(argv[i], "--reorder-window", nullptr)) {
            ++i;
            if (!parse_reorder_window(i < argc ? argv[i] : nullptr)) exit(1);
            run_options.repair = true;
        } else if (arg_test(argv[i], "--no-fec", nullptr)) {
            // Repair as a receiver that ignores FEC would: to compare, or to keep only what came.
            run_options.fec = false;
            run_options.repair = true;
        } else if (arg_test(argv[i], "--wait-keyframe", nullptr)) {
            run_options.wait_keyframe = true;
            run_options.repair = true;
        } else if (arg_test(argv[i], "--sdp", nullptr)) {
            // The negotiated SDP: the payload types and SSRCs of the wrapped streams, exactly.
            ++i;
            std::string error = "missing file name";
            if (i >= argc || !streams::load_sdp(argv[i], &error)) {
                fprintf(stderr, "transcode: --sdp %s: %s\n", i < argc ? argv[i] : "",
                        error.c_str());
                exit(1);
            }
            run_options.repair = true;
        } else if (arg_test(argv[i], "--webm", nullptr)) {
            run_options.webm = true;
        } else if (arg_test(argv[i], "--align", nullptr)) {
            run_options.align = true;
        } else if (arg_test(argv[i], "--compose", nullptr)) {
            run_options.compose_path = option_value(argc, argv, &i, "a file name");
        } else if (arg_test(argv[i], "--compose-size", nullptr)) {
            if (!parse_compose_size(option_value(argc, argv, &i, "WIDTHxHEIGHT"))) exit(1);
        } else if (arg_test(argv[i], "--compose-rate", nullptr)) {
            if (!parse_compose_rate(option_value(argc, argv, &i, "a frame rate"))) exit(1);
        } else if (arg_test(argv[i], "--compose-vp9", nullptr)) {
            run_options.compose_vp9 = true;
        }
    }
    if (work_path.empty()) {
        print_line(kUsageText);
        print_line(kVersionLine);
        exit(1);
    }

    const int64_t start_ms = getTimeStamp();
    const int64_t start_ns = get_time_ns();
    raise_open_file_limit();
    // A missing output directory is made before anything is written. When it cannot be, the passes
    // do not run: every file would fail, or land somewhere it was not asked to go.
    bool output_dir_ok = true;
    if (!run_options.output_dir.empty()) {
        int err = 0;
        output_dir_ok = make_directories(run_options.output_dir, &err);
        if (!output_dir_ok)
            fprintf(stderr, "transcode: %s: cannot create the output directory: %s\n",
                    run_options.output_dir.c_str(), strerror(err));
    }
    std::vector<std::string> video_files;
    std::vector<std::string> audio_files;
    if (trans_video) GetFileLists(video_files, work_path, ".video");
    if (trans_audio) GetFileLists(audio_files, work_path, ".audio");
    const auto in_order = [](const std::string& a, const std::string& b) {
        return compare_listed(work_path, a, b);
    };
    if (!video_files.empty()) std::sort(video_files.begin(), video_files.end(), in_order);
    if (!audio_files.empty()) std::sort(audio_files.begin(), audio_files.end(), in_order);

    // The recording clock watches both passes; what it settles after them places the streams.
    recording_clock().load_sender_reports(work_path, stderr);
    recording_clock().set_files(true, video_files);
    recording_clock().set_files(false, audio_files);
    if (output_dir_ok && trans_video && !video_files.empty()) run_pass(video_files, true);
    if (output_dir_ok && trans_audio && !audio_files.empty()) run_pass(audio_files, false);
    // Said only where the clock would have moved something written.
    recording_clock().settle(run_options.webm || run_options.align, stderr);
    if (output_dir_ok && run_options.webm) mux_all_webm();
    if (output_dir_ok && !run_options.compose_path.empty()) {
        ComposeOptions compose;
        compose.path = run_options.compose_path;
        compose.width = run_options.compose_width;
        compose.height = run_options.compose_height;
        compose.rate = run_options.compose_rate;
        compose.vp9 = run_options.compose_vp9;
        compose_run(compose);
    }
    // Last: the WebM step and the composite read the files as the passes wrote them.
    if (output_dir_ok && run_options.align) align_outputs(stderr);

    // Status 2 tells a caller that some output file (the report included) could not be created or
    // fully written.
    int status = output_dir_ok && !output_failure_seen() ? 0 : 2;
    // Status 3: every file was written, but some streams (a codec not converted) have none.
    if (status == 0 && run_stats().streams_not_converted > 0) status = 3;
    if (!run_options.report_path.empty()) {
        RunInfo info;
        info.work_path = work_path;
        info.output_dir = run_options.output_dir;
        info.video = trans_video;
        info.audio = trans_audio;
        info.repair = run_options.repair;
        info.start_ms = start_ms;
        info.end_ms = getTimeStamp();
        info.wall_seconds = static_cast<double>(get_time_ns() - start_ns) / 1e9;
        info.exit_status = status;
        if (!write_run_report(run_options.report_path, info)) status = 2;
    }

    exitFlag = 1;
    signal(SIGINT, on_interrupt);
    return status;
}
#endif
