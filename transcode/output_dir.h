// The output directory (-o): created with its parents before the passes, so that a run into a
// fresh place needs no separate mkdir.
#pragma once

#include <string>

// Makes `path` a directory, creating each missing component (mode 0777 before the umask), like
// `mkdir -p`. True when it exists as a directory afterwards; otherwise false with errno's value
// in *err.
bool make_directories(const std::string& path, int* err);
