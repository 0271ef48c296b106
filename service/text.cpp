#include "text.h"

#include <cstdio>
#include <cstring>

size_t str_copy(char* dst, size_t cap, const char* src) {
    if (src == nullptr) src = "";
    size_t len = strlen(src);
    if (cap == 0) return len;
    size_t n = len < cap - 1 ? len : cap - 1;
    memmove(dst, src, n);
    dst[n] = '\0';
    return len;
}

size_t str_copy_printable(char* dst, size_t cap, const char* src) {
    if (src == nullptr) src = "";
    size_t out = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(src); *p; ++p) {
        unsigned char c = *p;
        if (c == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) {
            c = '?';
            ++p;
        } else if (c < 0x20 || c == 0x7F) {
            c = '?';
        }
        if (cap > 0 && out < cap - 1) dst[out] = static_cast<char>(c);
        ++out;
    }
    if (cap > 0) dst[out < cap - 1 ? out : cap - 1] = '\0';
    return out;
}

int str_vformat(char* dst, size_t cap, const char* fmt, va_list ap) {
    if (cap == 0) return 0;
    int n = vsnprintf(dst, cap, fmt, ap);
    if (n < 0) dst[0] = '\0';
    return n;
}

int str_format(char* dst, size_t cap, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = str_vformat(dst, cap, fmt, ap);
    va_end(ap);
    return n;
}

size_t str_append(char* dst, size_t cap, const char* src) {
    size_t used = strnlen(dst, cap);
    if (used >= cap) return used;
    return used + str_copy(dst + used, cap - used, src);
}

size_t json_escape(char* dst, size_t cap, const char* src) {
    if (src == nullptr) src = "";
    size_t out = 0;
    auto put = [&](char c) {
        if (cap > 0 && out < cap - 1) dst[out] = c;
        ++out;
    };
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(src); *p; ++p) {
        unsigned char c = *p;
        if (c == '"' || c == '\\') {
            put('\\');
            put(static_cast<char>(c));
        } else if (c < 0x20) {
            static const char hex[] = "0123456789abcdef";
            put('\\'); put('u'); put('0'); put('0');
            put(hex[c >> 4]); put(hex[c & 15]);
        } else {
            put(static_cast<char>(c));
        }
    }
    if (cap > 0) {
        size_t end = out < cap - 1 ? out : cap - 1;
        // never leave a cut escape sequence half written
        if (out > cap - 1) {
            size_t bs = 0;
            while (bs < end && dst[end - 1 - bs] == '\\') ++bs;
            if (bs % 2 == 1) --end;
        }
        dst[end] = '\0';
    }
    return out;
}
