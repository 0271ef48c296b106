#include "append.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {
// Writes all of buf, going on after a short write; false with errno set when
// the file takes no more.
bool write_all(int fd, const char* buf, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}
}  // namespace

int append_lines(int fd, const char* text, size_t len) {
    struct stat st;
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    off_t before = 0;
    bool newline_first = false;
    if (regular) {
        // a stream opened without O_APPEND writes where it stands: go to the end
        int flags = fcntl(fd, F_GETFL);
        if (flags >= 0 && (flags & O_APPEND) == 0) lseek(fd, 0, SEEK_END);
        before = st.st_size;
        char last = '\n';
        if (before > 0 && pread(fd, &last, 1, before - 1) == 1 && last != '\n') newline_first = true;
    }

    // One write for the whole text: a crash leaves it in the file whole or
    // not at all.
    char small[1024];
    char* buf = small;
    size_t total = len + (newline_first ? 1 : 0);
    if (total > sizeof small) {
        buf = static_cast<char*>(malloc(total));
        if (buf == nullptr) {
            errno = ENOMEM;
            return -1;
        }
    }
    size_t at = 0;
    if (newline_first) buf[at++] = '\n';
    if (len > 0) memcpy(buf + at, text, len);

    bool ok = write_all(fd, buf, total);
    int saved = errno;
    if (buf != small) free(buf);
    if (ok) return 0;
    // a part of the text may be in the file: take it back
    if (regular && ftruncate(fd, before) == 0) lseek(fd, 0, SEEK_END);
    errno = saved;
    return -1;
}
