// Clock readings found in capture files: the time value in a file's name and the audio record's
// 8-byte leading field. Each is a count of seconds, milliseconds or microseconds since 1970,
// told apart by magnitude; a number that is no plausible time (before 2000 or from 2100 on) is no
// clock at all.
#pragma once

#include <cstdint>
#include <string>

// Microseconds since 1970 for a count in s, ms or us; false for any other number.
bool plausible_time_us(uint64_t value, int64_t* us);

// The time value of a capture file: the digits after the last '_' of its name, up to the first
// '.' after it ("a_1650598869249.audio"). False when the name holds none or it is no time.
bool file_time_us(const std::string& path, int64_t* us);
