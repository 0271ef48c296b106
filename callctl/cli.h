// Shared pieces of the callctl subcommands: the table of subcommands, the
// options every subcommand takes and the way each one writes its output.
#pragma once
#include <string>

struct cJSON;

namespace callctl {

// A subcommand: argv[0] is its own name, the options follow. Returns the
// process exit status (0 done, 1 findings or unhealthy, 2 bad use or an
// unreadable input, 3 the output could not be written, as each subcommand
// documents).
using Command = int (*)(int argc, char** argv);

struct Entry {
    const char* name;
    Command run;
    const char* summary;  // one line for `callctl --help`
};

// The version of the JSON documents callctl prints ("version": 1): raised
// only when a member changes its meaning or goes away.
constexpr int kJsonVersion = 1;
// Exit status when standard output cannot be written (a full disk, a closed pipe).
constexpr int kWriteFailed = 3;

// Takes "NAME VALUE" or "NAME=VALUE" at argv[i] (advancing i past VALUE).
// Returns false when argv[i] is neither; *value is null when VALUE is missing.
bool take_value(int argc, char** argv, int& i, const char* name, const char** value);

// Takes "--root DIR" or "--root=DIR" at argv[i] (advancing i past DIR) and
// makes DIR the device root for every path read afterwards. Returns false
// when argv[i] is neither; prints a one-line error and sets *bad when DIR is
// missing.
bool take_root(int argc, char** argv, int& i, bool* bad);

struct Options {
    bool json = false;
    bool quiet = false;   // -q: nothing on standard output, the exit status only
    bool strict = false;  // --strict: warnings count like errors
};
enum : unsigned { kOptJson = 1, kOptQuiet = 2, kOptStrict = 4 };

// An option of one subcommand with a value ("--days N" or "--days=N"):
// *text is pointed at the value in argv for the subcommand to judge (left
// alone when the option is not given).
struct ValueOption {
    const char* name;
    const char** text;
};

// Reads the options of a subcommand that takes "--root DIR", "-h"/"--help"
// (prints help and ends with 0), those of `allowed` and the value options
// of `values` (an array ending with a null name, or null). Returns -1 to go
// on, else the exit status to end with.
int read_options(const char* sub, int argc, char** argv, const char* help, unsigned allowed, Options* opt,
                 const ValueOption* values = nullptr);

// Prints a JSON document on standard output and frees it.
void put_json(cJSON* root);

// Ends the output: returns `status`, or kWriteFailed with a one-line
// message on standard error when standard output could not be written.
int finish(const char* sub, int status);

// A text from a settings file or the bus, fit to be echoed: control
// characters and bytes that are not UTF-8 written as \t, \n, \xNN..., cut to
// `max` characters with "..." after the cut.
std::string shown(const std::string& raw, size_t max = 80);

// Whether a regular file (a device path) can be read, without blocking on
// a FIFO or a device: false with the reason ("No such file or directory",
// "Is a directory", "not a regular file", ...) in *why.
bool readable_file(const char* file, std::string* why);

// Prints "callctl <sub>: <message>" on standard error and returns 2.
int usage_error(const char* sub, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// The subcommands, each in its own file.
int cmd_check(int argc, char** argv);
int cmd_schedule(int argc, char** argv);
int cmd_status(int argc, char** argv);

}  // namespace callctl
