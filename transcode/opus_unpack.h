// Single-file Opus converter: one audio capture file into one Ogg Opus stream.
#pragma once

#include <ogg/ogg.h>

#include <cstdint>
#include <cstdio>

struct opus_context {
    ogg_stream_state* stream;
    FILE* out;
    FILE* in;
    int64_t granule;
};

// 0 when ready; -2 when either file cannot be opened; -1 when the stream cannot be set up.
int initOpus2Ogg(opus_context* ctx, const char* output, const char* input);
// One record's RTP data into one Ogg packet; always 1.
int loop_opus2ogg(const uint8_t* data, int bytes, void* ctx, uint32_t uid);
void destory_opus2ogg(opus_context* ctx);
int ogg_write(opus_context* ctx);
int ogg_flush(opus_context* ctx);

ogg_packet* op_opushead();
ogg_packet* op_opustags();
ogg_packet* op_from_pkt(const unsigned char* data, int bytes);
void op_free(ogg_packet* op);
int opus_samples(const unsigned char* data, int len);
void le16(unsigned char* p, int v);
void le32(unsigned char* p, int v);
