// --align: after both passes, every placed user's files are moved onto the recording's time line,
// so that they all start at the recording's first packet: the Ogg file gets Opus packets without
// coded data in front (as repair mode fills gaps, within the same budget), and the IVF file's
// frame timestamps count from the recording's start on the user's audio clock.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Aligns the files of every user whose streams are all placed; says on `messages` why a user's
// files stay as they are. The files keep their device and inode (they are rewritten in place).
void align_outputs(FILE* messages);

// The Ogg Opus file at `path` rewritten with `lead` samples of fillers in front (a multiple of
// 120), granule positions moved by as much. False, with `*error` set, when it cannot be read or
// written; the file is then as it was or, past a failed write, reported as an output failure.
bool prepend_silence(const std::string& path, int64_t lead, std::string* error);

// The IVF file's frame timestamps set to `start_us + media_us * scale` in 90 kHz ticks, where
// media_us is each frame's time from the first one as the WebM step reads the RTP timestamps.
bool retime_ivf(const std::string& path, double start_us, double scale, std::string* error);
