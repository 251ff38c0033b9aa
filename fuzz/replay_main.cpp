// Runs a fuzz target's entry point once on every file under the paths named on the command line
// (directories are walked recursively), so that saved crash inputs and the seed corpus are
// replayed by the ordinary test build without libFuzzer. A README.md describes its directory and
// is not an input.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

namespace {

bool is_input(const fs::directory_entry& entry) {
    std::error_code ec;
    return entry.is_regular_file(ec) && entry.path().filename() != "README.md";
}

bool collect(const std::string& root, std::vector<fs::path>& inputs) {
    std::error_code ec;
    const fs::directory_entry top(root, ec);
    if (ec || !top.exists(ec)) return false;
    if (!top.is_directory(ec)) {
        if (is_input(top)) inputs.push_back(fs::absolute(top.path()));
        return true;
    }
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
        if (is_input(*it)) inputs.push_back(fs::absolute(it->path()));
    return !ec;
}

}  // namespace

int main(int argc, char** argv) {
    // The targets may send standard output to /dev/null; the replay's own lines keep a copy.
    const int report_fd = dup(STDOUT_FILENO);
    FILE* report = report_fd >= 0 ? fdopen(report_fd, "w") : stdout;
    if (argc < 2) {
        fprintf(report, "usage: %s DIR_OR_FILE...\n", argv[0]);
        return 2;
    }
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!collect(argv[i], inputs)) {
            fprintf(report, "cannot read %s\n", argv[i]);
            return 1;
        }
    }
    std::sort(inputs.begin(), inputs.end());

    for (const fs::path& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            fprintf(report, "cannot read %s\n", path.c_str());
            return 1;
        }
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>()};
        // A block of exactly the input's size, as libFuzzer gives, so overreads are caught.
        const size_t size = bytes.size();
        std::unique_ptr<uint8_t[]> data(new uint8_t[size ? size : 1]);
        std::copy(bytes.begin(), bytes.end(), data.get());
        // Named before the run: a crash report then follows the name of the input that caused it.
        fprintf(report, "replaying %s (%zu bytes)\n", path.c_str(), size);
        fflush(report);
        LLVMFuzzerTestOneInput(data.get(), size);
    }
    fprintf(report, "replayed %zu inputs\n", inputs.size());
    fclose(report);
    return 0;
}
