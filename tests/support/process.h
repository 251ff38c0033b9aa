// Runs a program the way a user would and captures what it says.
#pragma once

#include <string>
#include <vector>

namespace proc {

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal number when it was killed
    std::string out;
    std::string err;
};

// Runs `argv` (argv[0] is the program path) in `cwd` with the given extra environment entries
// ("NAME=value"), and an optional shell prefix such as "ulimit -f 100;" applied before exec.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd,
                          const std::string& shell_prefix = "");

// A fresh directory under the system's temporary directory, removed with everything in it when
// the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
std::vector<std::string> list_dir(const std::string& path);  // sorted, without "." and ".."

}  // namespace proc
