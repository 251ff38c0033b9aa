#include "output_dir.h"

#include <sys/stat.h>

#include <cerrno>

namespace {

bool is_directory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool make_directories(const std::string& path, int* err) {
    *err = 0;
    if (path.empty()) {
        *err = ENOENT;
        return false;
    }
    // Each prefix that ends before a '/' (and the whole path), from the root down.
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string part = path.substr(0, end);
        if (!part.empty() && part.back() != '/' && mkdir(part.c_str(), 0777) != 0) {
            const int e = errno;
            // An existing component is fine as long as it is a directory (or leads to one); a
            // read-only or unwritable parent may refuse the mkdir of one that already exists.
            if (!is_directory(part)) {
                *err = e == EEXIST ? ENOTDIR : e;
                return false;
            }
        }
        if (end == std::string::npos) break;
    }
    return true;
}
