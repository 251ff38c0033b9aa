// What an output folder already holds: its capture files (names ending ".video" or ".audio", as
// the converter picks them) and the highest user id in their records, so that a second capture
// added to the folder numbers its users past the first one's.
#pragma once

#include <cstdint>
#include <string>

namespace pcapin {

struct FolderContents {
    bool exists = false;
    uint64_t capture_files = 0;
    bool any_user = false;
    uint32_t max_uid = 0;
};

// Lists `dir` (a missing one holds nothing). With `read_users`, reads the records of each capture
// file for their user ids, stopping in a file at a record whose length runs past its end. False
// with `error` set when the folder or a file cannot be read.
bool scan_output_folder(const std::string& dir, bool read_users, FolderContents& out,
                        std::string& error);

}  // namespace pcapin
