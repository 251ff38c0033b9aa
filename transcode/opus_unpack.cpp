#include "opus_unpack.h"

#include <cstdlib>
#include <cstring>

#include "user_audio.h"

namespace {

void print_text(const char* text, FILE* stream) {
    fwrite(text, 1, strlen(text), stream);
}

void close_stream(FILE** f) {
    if (*f == nullptr) return;
    fclose(*f);
    *f = nullptr;
}

// Writes every page that `next` hands out, announcing each with `label` and its body length.
int write_pages(opus_context* ctx, int (*next)(ogg_stream_state*, ogg_page*), const char* label) {
    if (ctx == nullptr || ctx->stream == nullptr || ctx->out == nullptr) return -1;
    ogg_page page;
    while (next(ctx->stream, &page) != 0) {
        int err = 0;
        const int rc = muopus::write_page(ctx->out, page, &err);
        if (rc != 0) {
            print_text(
                rc == -2 ? "Error writing Ogg page header\n" : "Error writing Ogg page body\n",
                stderr);
            return rc;
        }
        printf("%s%ld\n", label, page.body_len);
        fflush(stdout);
    }
    return 0;
}

}  // namespace

void le16(unsigned char* p, int v) {
    p[0] = static_cast<unsigned char>(v & 0xFF);
    p[1] = static_cast<unsigned char>((v >> 8) & 0xFF);
}

void le32(unsigned char* p, int v) {
    const auto u = static_cast<uint32_t>(v);
    p[0] = static_cast<unsigned char>(u & 0xFF);
    p[1] = static_cast<unsigned char>((u >> 8) & 0xFF);
    p[2] = static_cast<unsigned char>((u >> 16) & 0xFF);
    p[3] = static_cast<unsigned char>((u >> 24) & 0xFF);
}

ogg_packet* op_opushead() {
    return muopus::build_opushead("Couldn't allocate data buffer.\n",
                                  "Couldn't allocate Ogg packet.\n");
}

// The comment header, the packet records and the sample count are the per-user writer's, messages
// included.
ogg_packet* op_opustags() {
    return muopus::op_opustags();
}

ogg_packet* op_from_pkt(const unsigned char* data, int bytes) {
    return muopus::op_from_pkt(data, bytes);
}

void op_free(ogg_packet* op) {
    muopus::op_free(op);
}

int opus_samples(const unsigned char* data, int len) {
    return muopus::opus_samples(data, len);
}

int initOpus2Ogg(opus_context* ctx, const char* output, const char* input) {
    if (ctx == nullptr) return -1;
    ctx->stream = nullptr;
    ctx->granule = 0;
    ctx->out = output != nullptr ? fopen(output, "wb") : nullptr;
    ctx->in = input != nullptr ? fopen(input, "rb") : nullptr;
    if (ctx->out == nullptr || ctx->in == nullptr) {
        print_text("Couldn't open output file.\n", stderr);
        // The caller gives the context up without ending it: nothing may stay open behind it.
        close_stream(&ctx->out);
        close_stream(&ctx->in);
        return -2;
    }

    auto* block = static_cast<ogg_stream_state*>(malloc(sizeof(ogg_stream_state)));
    if (block == nullptr || ogg_stream_init(block, rand()) < 0) {
        free(block);
        close_stream(&ctx->out);
        close_stream(&ctx->in);
        return -1;
    }
    ctx->stream = block;

    ogg_packet* head = op_opushead();
    ogg_packet* tags = head != nullptr ? op_opustags() : nullptr;
    if (tags == nullptr) {
        // Without its identification header the stream is no Ogg Opus stream: give it up.
        op_free(head);
        ogg_stream_destroy(ctx->stream);
        ctx->stream = nullptr;
        close_stream(&ctx->out);
        close_stream(&ctx->in);
        return -1;
    }
    ogg_stream_packetin(ctx->stream, head);
    puts("initOpus2Ogg===========");
    op_free(head);
    ogg_stream_packetin(ctx->stream, tags);
    op_free(tags);
    ogg_flush(ctx);
    return 0;
}

int loop_opus2ogg(const uint8_t* data, int bytes, void* ctx, uint32_t /*uid*/) {
    auto* context = static_cast<opus_context*>(ctx);
    if (context == nullptr || context->stream == nullptr) return 1;
    ogg_packet* op = muopus::op_from_rtp(data, bytes, &context->granule);
    if (op == nullptr) return 1;
    ogg_stream_packetin(context->stream, op);
    free(op);  // the data is the caller's, and libogg has copied it
    ogg_write(context);
    return 1;
}

void destory_opus2ogg(opus_context* ctx) {
    if (ctx == nullptr) return;
    ogg_flush(ctx);
    close_stream(&ctx->out);
    if (ctx->stream != nullptr) ogg_stream_destroy(ctx->stream);
    ctx->stream = nullptr;
    close_stream(&ctx->in);
}

int ogg_write(opus_context* ctx) {
    return write_pages(ctx, ogg_stream_pageout, "ogg_write---> ");
}

int ogg_flush(opus_context* ctx) {
    return write_pages(ctx, ogg_stream_flush, "ogg_flush ");
}
