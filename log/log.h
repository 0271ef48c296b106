// A small levelled logging facility: one console sink on standard error and
// up to 32 registered sinks. The daemon writes its operation log through it.
#pragma once
#include <cstdarg>
#include <cstdio>
#include <ctime>

enum { LOG_TRACE, LOG_DEBUG, LOG_INFO, LOG_WARN, LOG_ERROR, LOG_FATAL };

struct log_Event {
    va_list ap;
    const char* fmt;
    const char* file;
    struct tm* time;
    void* udata;
    int line;
    int level;
};

typedef void (*log_LogFn)(log_Event* ev);
typedef void (*log_LockFn)(bool lock, void* udata);

struct log_Callback {
    log_LogFn fn;
    void* udata;
    int level;
};

enum { LOG_MAX_CALLBACKS = 32 };

struct log_State {
    void* udata;
    log_LockFn lock;
    int level;
    bool quiet;
    log_Callback callbacks[LOG_MAX_CALLBACKS];
};

extern log_State L;
extern const char* level_strings[];

const char* log_level_string(int level);
void log_set_lock(log_LockFn fn, void* udata);
void log_set_level(int level);
void log_set_quiet(bool enable);
int log_add_callback(log_LogFn fn, void* udata, int level);
int log_add_fp(FILE* fp, int level);
void log_init_callback();
void log_log(int level, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// The console stream (standard error); tests may point it elsewhere.
void log_set_console(FILE* fp);

// How the last file line went: 0 when it is in its file whole, else the
// errno of the write that failed (the file then holds no part of the line).
int log_file_status();

// The last row a file sink of this thread wrote into its file, as written
// (date and time included) without its line end; cut at 1023 characters.
const char* log_last_row();
