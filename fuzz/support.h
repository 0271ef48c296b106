// What every fuzz target shares: a quiet standard output, a throw-away device
// root, runners that record instead of running, and subscription replies
// built by hand the way hiredis hands them over.
#pragma once
#include <hiredis.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fuzzsupport {

// Sends standard output to /dev/null (the daemon's diagnostics would drown
// the fuzzer's own report, which goes to standard error).
void quiet_stdout();

// Creates a temporary device root, makes it the daemon's root, and removes it
// when the process ends. Returns its path.
const std::string& device_root();
// Writes a file at a device path under the root (folders made as needed).
void write_file(const std::string& device_path, const std::string& content);
std::string read_file(const std::string& device_path);
void remove_file(const std::string& device_path);

// Shell commands and sleeps do nothing; the last shell commands are kept.
void record_runners();
std::vector<std::string>& shell_commands();

// Aborts with a message when cond is false (a finding for the fuzzer).
void check(bool cond, const char* what);

// A reply tree owned by the builder; every string is terminated, as hiredis
// terminates its strings.
class ReplyBuilder {
public:
    // A subscription message: kind, channel, payload, all strings.
    redisReply* message(const std::string& payload);
    // Any reply at all: type, element count and element types from the
    // provider; the payload is placed in the third element when there is one.
    redisReply* any(FuzzedDataProvider& fdp, const std::string& payload);

private:
    redisReply* node(int type, const std::string& text);
    redisReply* any_node(FuzzedDataProvider& fdp, const std::string& payload, int depth);
    std::vector<std::unique_ptr<redisReply>> nodes_;
    std::vector<std::unique_ptr<std::string>> texts_;
    std::vector<std::unique_ptr<std::vector<redisReply*>>> arrays_;
};

}  // namespace fuzzsupport
