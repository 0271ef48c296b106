#include "log.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "append.h"

log_State L;
const char* level_strings[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};

namespace {
FILE* g_console = nullptr;
std::atomic<int> g_file_status{0};
// The last row a file sink wrote on this thread, without its line end.
thread_local char g_last_row[1024];

FILE* console() { return g_console ? g_console : stderr; }

void lock() {
    if (L.lock) L.lock(true, L.udata);
}
void unlock() {
    if (L.lock) L.lock(false, L.udata);
}

// Each event keeps its own broken-down time, taken when the first sink runs,
// so every sink of one call shows the same stamp.
struct TimedEvent {
    log_Event ev;
    struct tm tm_buf;
};

void init_event(TimedEvent* te, void* udata) {
    if (te->ev.time == nullptr) {
        time_t t = time(nullptr);
        localtime_r(&t, &te->tm_buf);
        te->ev.time = &te->tm_buf;
    }
    te->ev.udata = udata;
}

void stdout_callback(log_Event* ev) {
    char buf[16];
    buf[strftime(buf, sizeof buf, "%H:%M:%S", ev->time)] = '\0';
    FILE* fp = static_cast<FILE*>(ev->udata);
    fprintf(fp, "%s %-5s %s:%d: ", buf, log_level_string(ev->level), ev->file, ev->line);
    vfprintf(fp, ev->fmt, ev->ap);
    fprintf(fp, "\n");
    fflush(fp);
}

// The row is formatted whole and appended with one write (append_lines): a
// crash leaves it in the file whole or not at all, and a file that ends in a
// partial row gets a newline before it. A row the file does not take is
// reported through log_file_status.
void file_callback(log_Event* ev) {
    char stamp[64];
    stamp[strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", ev->time)] = '\0';
    FILE* fp = static_cast<FILE*>(ev->udata);

    char small[1024];
    char* row = small;
    va_list ap;
    va_copy(ap, ev->ap);
    int n = vsnprintf(nullptr, 0, ev->fmt, ap);
    va_end(ap);
    if (n < 0) n = 0;
    size_t stamp_len = strlen(stamp);
    size_t len = stamp_len + 1 + static_cast<size_t>(n) + 1;
    if (len + 1 > sizeof small) row = static_cast<char*>(malloc(len + 1));
    if (row == nullptr) {
        g_file_status.store(ENOMEM, std::memory_order_relaxed);
        return;
    }
    memcpy(row, stamp, stamp_len);
    row[stamp_len] = ',';
    vsnprintf(row + stamp_len + 1, static_cast<size_t>(n) + 1, ev->fmt, ev->ap);
    row[len - 1] = '\n';

    // anything the stream still holds goes first, so the order stays
    fflush(fp);
    int fd = fileno(fp);
    int status = append_lines(fd, row, len) == 0 ? 0 : errno;
    if (status == 0) {
        fdatasync(fd);
        size_t keep = len - 1 < sizeof g_last_row - 1 ? len - 1 : sizeof g_last_row - 1;
        memcpy(g_last_row, row, keep);
        g_last_row[keep] = '\0';
    }
    if (row != small) free(row);
    g_file_status.store(status, std::memory_order_relaxed);
}
}  // namespace

const char* log_level_string(int level) {
    if (level < LOG_TRACE || level > LOG_FATAL) return "?";
    return level_strings[level];
}

void log_set_lock(log_LockFn fn, void* udata) {
    L.lock = fn;
    L.udata = udata;
}
void log_set_level(int level) { L.level = level; }
void log_set_quiet(bool enable) { L.quiet = enable; }
void log_set_console(FILE* fp) { g_console = fp; }
int log_file_status() { return g_file_status.load(std::memory_order_relaxed); }
const char* log_last_row() { return g_last_row; }

int log_add_callback(log_LogFn fn, void* udata, int level) {
    for (int i = 0; i < LOG_MAX_CALLBACKS; i++) {
        if (!L.callbacks[i].fn) {
            L.callbacks[i] = log_Callback{fn, udata, level};
            return 0;
        }
    }
    return -1;
}

int log_add_fp(FILE* fp, int level) { return log_add_callback(file_callback, fp, level); }

void log_init_callback() {
    for (auto& cb : L.callbacks) cb.fn = nullptr;
}

void log_log(int level, const char* file, int line, const char* fmt, ...) {
    TimedEvent te;
    memset(&te, 0, sizeof te);
    te.ev.fmt = fmt;
    te.ev.file = file;
    te.ev.line = line;
    te.ev.level = level;

    lock();

    if (!L.quiet && level >= L.level) {
        init_event(&te, console());
        va_start(te.ev.ap, fmt);
        stdout_callback(&te.ev);
        va_end(te.ev.ap);
    }

    for (int i = 0; i < LOG_MAX_CALLBACKS && L.callbacks[i].fn; i++) {
        log_Callback* cb = &L.callbacks[i];
        if (level >= cb->level) {
            init_event(&te, cb->udata);
            va_start(te.ev.ap, fmt);
            cb->fn(&te.ev);
            va_end(te.ev.ap);
        }
    }

    unlock();
}
