#include "stream_buffer.h"

namespace {

// Appends of up to this many bytes are the integer writers' single bytes; pushing them one by one
// beats setting up a range insertion.
constexpr uint64_t kElementwiseLimit = 10;

int64_t array_output_write(void* sink, const uint8_t* data, uint64_t length) {
    auto* out = static_cast<stream_output_data*>(sink);
    if (!out || !data) return 0;
    if (length <= kElementwiseLimit) {
        for (uint64_t i = 0; i < length; ++i) out->content.push_back(data[i]);
    } else {
        out->content.insert(out->content.end(), data, data + length);
    }
    return static_cast<int64_t>(length);
}

uint64_t array_output_get_pos(void* sink) {
    const auto* out = static_cast<const stream_output_data*>(sink);
    return out ? out->content.size() : 0;
}

}  // namespace

void stream_output_init(BufferIOWriter* writer, stream_output_data* data) {
    *writer = BufferIOWriter{};
    // clear() keeps the storage, so a buffer reused for every record stops allocating.
    data->content.clear();
    writer->sink = data;
    writer->write = array_output_write;
    writer->get_pos = array_output_get_pos;
}
