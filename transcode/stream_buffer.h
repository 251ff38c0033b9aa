// A byte-output writer record and its in-memory sink.
#pragma once

#include <cstdint>
#include <vector>

// Does not own its sink.
struct BufferIOWriter {
    void* sink;
    int64_t (*write)(void* sink, const uint8_t* data, uint64_t length);  // bytes taken
    uint64_t (*get_pos)(void* sink);                                     // bytes held
};

struct stream_output_data {
    std::vector<uint8_t> content;
};

// Zeroes `writer`, empties `data` and binds the writer to it.
void stream_output_init(BufferIOWriter* writer, stream_output_data* data);
