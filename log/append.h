// Crash-safe appending of whole lines to the device's CSV files.
#pragma once
#include <cstddef>

// Appends text (whole lines, each ending in '\n') to the file open on fd, in
// one write. The file must be open for reading as well (O_RDWR, fopen "a+"),
// so its last character can be looked at. When the file does not end in a newline (a line cut short by a
// crash or a full disk), a newline goes first, so the new text never glues
// onto a partial line. A write that falls short is taken back: the file is
// cut to its size from before. Returns 0 when all of text is in the file,
// else -1 with errno set (the file then holds what it held before).
int append_lines(int fd, const char* text, size_t len);
