// Shared pieces of the callctl subcommands: the table of subcommands and the
// options every subcommand takes.
#pragma once

struct cJSON;

namespace callctl {

// A subcommand: argv[0] is its own name, the options follow. Returns the
// process exit status (0 done, 1 findings or unhealthy, 2 bad use or an
// unreadable input, as each subcommand documents).
using Command = int (*)(int argc, char** argv);

struct Entry {
    const char* name;
    Command run;
    const char* summary;  // one line for `callctl --help`
};

// Takes "--root DIR" at argv[i] (advancing i past DIR) and makes DIR the device
// root for every path read afterwards. Returns false when argv[i] is not
// "--root"; prints a one-line error and sets *bad when DIR is missing.
bool take_root(int argc, char** argv, int& i, bool* bad);

// Reads the options of a subcommand that takes only "--root DIR", "--json"
// and "--help" (which prints help and ends with 0). Returns -1 to go on,
// else the exit status to end with.
int json_options(const char* sub, int argc, char** argv, const char* help, bool* json);

// Prints a JSON document on standard output and frees it.
void put_json(cJSON* root);

// Prints "callctl <sub>: <message>" on standard error and returns 2.
int usage_error(const char* sub, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// The subcommands, each in its own file.
int cmd_check(int argc, char** argv);
int cmd_schedule(int argc, char** argv);
int cmd_status(int argc, char** argv);

}  // namespace callctl
