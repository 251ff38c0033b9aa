#include "output_folder.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace pcapin {
namespace {

bool ends_with(const char* name, const char* suffix) {
    const size_t n = strlen(name), k = strlen(suffix);
    return n >= k && memcmp(name + n - k, suffix, k) == 0;
}

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};

// Video record: length (u32 LE), user id (u32 LE), packet. Audio record: a u64, user id (u32 LE),
// length (u32 LE), packet.
bool read_users(const std::string& path, bool audio, FolderContents& out, std::string& error) {
    std::unique_ptr<FILE, FileCloser> f(fopen(path.c_str(), "rb"));
    if (!f) {
        error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fileno(f.get()), &st) != 0) {
        error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const size_t head = audio ? 16 : 8;
    uint64_t at = 0;
    uint8_t h[16];
    while (at + head <= size && fread(h, 1, head, f.get()) == head) {
        const uint32_t uid = audio ? le32(h + 8) : le32(h + 4);
        const uint32_t len = audio ? le32(h + 12) : le32(h);
        at += head;
        if (len > size - at) break;  // a cut or broken record: the converter stops there too
        if (!out.any_user || uid > out.max_uid) out.max_uid = uid;
        out.any_user = true;
        if (fseeko(f.get(), static_cast<off_t>(len), SEEK_CUR) != 0) break;
        at += len;
    }
    if (ferror(f.get())) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

}  // namespace

bool scan_output_folder(const std::string& dir, bool users, FolderContents& out,
                        std::string& error) {
    out = FolderContents{};
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        if (errno == ENOENT) return true;
        error = "cannot read " + dir + ": " + strerror(errno);
        return false;
    }
    out.exists = true;
    std::vector<std::pair<std::string, bool>> files;
    while (struct dirent* e = readdir(d)) {
        const bool video = ends_with(e->d_name, ".video"), audio = ends_with(e->d_name, ".audio");
        if (video || audio) files.emplace_back(dir + "/" + e->d_name, audio);
    }
    closedir(d);
    out.capture_files = files.size();
    if (!users) return true;
    for (const auto& f : files)
        if (!read_users(f.first, f.second, out, error)) return false;
    return true;
}

}  // namespace pcapin
