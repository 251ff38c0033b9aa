// The driver's functions, visible to the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "opus_unpack.h"

extern std::string work_path;
extern bool trans_video;
extern bool trans_audio;

bool arg_test(const char* arg, const char* long_form, const char* short_form);
void GetFileLists(std::vector<std::string>& list, const std::string& path,
                  const std::string& suffix);
int64_t get_file_time(const std::string& path);
bool compare(const std::string& a, const std::string& b);
// The order main() sorts the listed paths in: by `compare`, then, where it ties, by the key of the
// entry names (the part after the work path `work`), then by the names themselves. A total order.
bool compare_listed(const std::string& work, const std::string& a, const std::string& b);

int read_zel_audio(opus_context* ctx, uint64_t* length, uint8_t* buffer, uint32_t* uid);
void tran_opus_ogg();

int64_t getTimeStamp();
void w_le32(uint8_t* buffer, int offset, uint32_t value);
void w_le64(uint8_t* buffer, int offset, uint64_t value);
void testwrite();
