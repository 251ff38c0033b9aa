#include "zel_log.h"

#include <cstdio>

int log_output_level = ZEL_LOG_DEBUG;

namespace {

zel_log_handler_t log_handler = def_log_handler;
void* log_param = nullptr;

constexpr size_t kMessageSize = 4096;

}  // namespace

void set_log_handler(zel_log_handler_t handler, void* param) {
    log_handler = handler != nullptr ? handler : def_log_handler;
    log_param = param;
}

void get_log_handler(zel_log_handler_t* handler, void** param) {
    if (handler != nullptr) *handler = log_handler;
    if (param != nullptr) *param = log_param;
}

void zel_lva(int level, const char* format, va_list args) {
    log_handler(level, format, args, log_param);
}

void zel_l(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    zel_lva(level, format, args);
    va_end(args);
}

void def_log_handler(int level, const char* format, va_list args, void* /*param*/) {
    char message[kMessageSize];
    // vsnprintf cuts what does not fit and always terminates.
    if (vsnprintf(message, sizeof(message), format != nullptr ? format : "", args) < 0)
        message[0] = '\0';
    if (level > log_output_level) return;

    const char* prefix;
    FILE* stream;
    switch (level) {
        case ZEL_LOG_ERROR:
            prefix = "error: %s\n";
            stream = stderr;
            break;
        case ZEL_LOG_WARNING:
            prefix = "warning: %s\n";
            stream = stdout;
            break;
        case ZEL_LOG_INFO:
            prefix = "info: %s\n";
            stream = stdout;
            break;
        case ZEL_LOG_DEBUG:
            prefix = "debug: %s\n";
            stream = stdout;
            break;
        default:
            return;
    }
    fprintf(stream, prefix, message);
    fflush(stream);
}

std::string to_hex(const void* data, int size) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    if (data == nullptr || size <= 0) return text;
    const auto* bytes = static_cast<const unsigned char*>(data);
    text.reserve(static_cast<size_t>(size) * 5);
    for (int i = 0; i < size; ++i) {
        text += " 0x";
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}
