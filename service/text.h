// Bounded text helpers: every fixed buffer of the daemon is written through
// these, so nothing ever runs past its capacity.
#pragma once
#include <cstdarg>
#include <cstddef>

// Copies src (NULL reads as "") into dst of capacity cap, cutting at cap-1
// characters; dst is always terminated. Returns the length of src.
size_t str_copy(char* dst, size_t cap, const char* src);

// snprintf into dst of capacity cap; the result is cut at cap-1 characters.
// Returns the length the full text would have had.
int str_format(char* dst, size_t cap, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int str_vformat(char* dst, size_t cap, const char* fmt, va_list ap);

// Appends src to the terminated text in dst, cutting at the capacity.
size_t str_append(char* dst, size_t cap, const char* src);

// Writes src escaped as JSON string content (quote, backslash and control
// characters escaped) into dst; ordinary text comes out unchanged.
// Returns the escaped length (which may exceed cap-1 when cut).
size_t json_escape(char* dst, size_t cap, const char* src);

// Copies src like str_copy, writing every control character as "?": C0
// (line breaks and terminal escapes included), DEL, and C1 as UTF-8 encodes
// it (0xC2 0x80 .. 0xC2 0x9F, one "?" for the pair). Text that comes from
// the network goes into files and log datagrams through this. Returns the
// length of the copy before cutting.
size_t str_copy_printable(char* dst, size_t cap, const char* src);

template <size_t N>
inline size_t str_copy(char (&dst)[N], const char* src) { return str_copy(dst, N, src); }
template <size_t N>
inline size_t str_copy_printable(char (&dst)[N], const char* src) { return str_copy_printable(dst, N, src); }
template <size_t N>
inline size_t str_append(char (&dst)[N], const char* src) { return str_append(dst, N, src); }
