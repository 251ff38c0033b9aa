// Reads a small text file named on the command line (an SDP) whole, with a bound: a device such as
// /dev/zero stops at the bound instead of filling memory, a directory cannot be read, and a FIFO
// neither blocks the open nor waits for ever for a writer. Shared by transcode and transcode-pcap.
#pragma once

#include <cstddef>
#include <string>

namespace smallfile {

enum class ReadStatus {
    ok,
    cannot_open,  // errno says why
    cannot_read,  // a directory, or a read error
    too_large,    // max_bytes or more
    no_data,      // a FIFO or pipe that delivered nothing for kWaitSeconds
};

constexpr int kWaitSeconds = 5;

// Reads `path` into `*text`. On cannot_open, `*error_number` holds errno.
ReadStatus read_small_file(const std::string& path, size_t max_bytes, std::string* text,
                           int* error_number);

}  // namespace smallfile
