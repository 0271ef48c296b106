#include "log.h"

#include <unistd.h>

#include <cstring>

log_State L;
const char* level_strings[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};

namespace {
FILE* g_console = nullptr;

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

void file_callback(log_Event* ev) {
    char buf[64];
    buf[strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", ev->time)] = '\0';
    FILE* fp = static_cast<FILE*>(ev->udata);
    fprintf(fp, "%s,", buf);
    vfprintf(fp, ev->fmt, ev->ap);
    fprintf(fp, "\n");
    fflush(fp);
    fdatasync(fileno(fp));
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
