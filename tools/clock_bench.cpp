// Times the recording clock alone over the records of a work directory: every record's RTP header
// and leading field are read into memory first, then fed to the clock as the passes' observers
// would (each record seen and, as a stand-in for the writers, written), and the clock settled.
// bench/clock_bench.sh sets the time against a whole `--repair --webm` run on the same files.
//
//   clock_bench WORKDIR/ [ROUNDS]
#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "recording_clock.h"
#include "run_stats.h"

namespace {

struct Seen {
    uint8_t head[12];
    uint8_t lead[8];
    uint32_t uid;
    uint32_t file;
};

uint32_t le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The kind's files in the converter's order (by the number after the last '_').
std::vector<std::string> files_of(const std::string& dir, const char* suffix) {
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() > strlen(suffix) &&
            name.compare(name.size() - strlen(suffix), strlen(suffix), suffix) == 0)
            out.push_back(dir + name);
    }
    closedir(d);
    auto key = [](const std::string& p) { return atoll(p.c_str() + p.rfind('_') + 1); };
    std::sort(out.begin(), out.end(),
              [&](const std::string& a, const std::string& b) { return key(a) < key(b); });
    return out;
}

std::vector<Seen> read_records(const std::vector<std::string>& files, bool video) {
    std::vector<Seen> seen;
    const size_t head = video ? 8 : 16;
    for (size_t f = 0; f < files.size(); ++f) {
        FILE* in = fopen(files[f].c_str(), "rb");
        if (in == nullptr) continue;
        std::vector<uint8_t> bytes;
        uint8_t block[1 << 16];
        size_t n;
        while ((n = fread(block, 1, sizeof block, in)) > 0)
            bytes.insert(bytes.end(), block, block + n);
        fclose(in);
        for (size_t pos = 0; pos + head <= bytes.size();) {
            const uint32_t len = le32(&bytes[pos + (video ? 0 : 12)]);
            Seen s = {};
            s.uid = le32(&bytes[pos + (video ? 4 : 8)]);
            if (!video) memcpy(s.lead, &bytes[pos], 8);
            s.file = static_cast<uint32_t>(f);
            pos += head;
            if (len == 0 || len > bytes.size() - pos) break;
            memcpy(s.head, &bytes[pos], std::min<size_t>(len, 12));
            if (len >= 12) seen.push_back(s);
            pos += len;
        }
    }
    return seen;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: clock_bench WORKDIR/ [ROUNDS]\n");
        return 2;
    }
    const std::string dir = argv[1];
    const int rounds = argc > 2 ? atoi(argv[2]) : 5;
    const std::vector<std::string> files[2] = {files_of(dir, ".audio"), files_of(dir, ".video")};
    const std::vector<Seen> records[2] = {read_records(files[0], false),
                                          read_records(files[1], true)};
    double best = 1e30;
    for (int r = 0; r < rounds; ++r) {
        RecordingClock& clock = recording_clock();
        clock.reset();
        run_stats() = RunStats();
        const auto start = std::chrono::steady_clock::now();
        clock.load_sender_reports(dir, stderr);
        for (int video = 1; video >= 0; --video) {
            clock.set_files(video != 0, files[video]);
            for (const Seen& s : records[video]) {
                clock.record(video != 0, s.uid, s.head, sizeof s.head, s.file,
                             video ? nullptr : s.lead);
                const uint32_t ts = (static_cast<uint32_t>(s.head[4]) << 24) | (s.head[5] << 16) |
                                    (s.head[6] << 8) | s.head[7];
                clock.written(video != 0, s.uid, ts);
            }
            clock.pass_end(video != 0);
        }
        clock.settle(false, stderr);
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, s);
    }
    printf("records %zu seconds %.4f\n", records[0].size() + records[1].size(), best);
    return 0;
}
