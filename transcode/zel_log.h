// Levelled log facility with one replaceable handler.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

enum zel_log_level {
    ZEL_LOG_ERROR = 100,
    ZEL_LOG_WARNING = 200,
    ZEL_LOG_INFO = 300,
    ZEL_LOG_DEBUG = 400,
};

using zel_log_handler_t = void (*)(int level, const char* format, va_list args, void* param);

extern int log_output_level;

void set_log_handler(zel_log_handler_t handler, void* param);  // null restores the default
void get_log_handler(zel_log_handler_t* handler, void** param);
void zel_lva(int level, const char* format, va_list args);
void zel_l(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void def_log_handler(int level, const char* format, va_list args, void* param);
// " 0xAB" per byte of the first `size` bytes; empty for size <= 0.
std::string to_hex(const void* data, int size);
