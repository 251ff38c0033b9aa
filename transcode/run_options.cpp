#include "run_options.h"

RunOptions run_options;

std::string output_path(const std::string& name) {
    const std::string& dir = run_options.output_dir;
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}
