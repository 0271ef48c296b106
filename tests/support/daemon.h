// Runs the real callctld binary in a simulated device (sandbox/setup-root.sh)
// and reads what it printed.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

// Path of a file of the build or the source tree (set by CTest).
std::string build_path(const std::string& rel);
std::string source_path(const std::string& rel);

// Runs the built callctl with the arguments (shell words, redirections
// included; under CALLCTLD_EMULATOR when set): its exit status and what it
// wrote on standard output.
int run_callctl(const std::string& args, std::string* out);

// Lays out a sandbox device in root_dir (folders, default settings, stand-ins).
// The schedule's driver, which the sandbox switches on, stays off unless
// asked for: the daemon runs as designed, whatever the hour of the test.
void setup_sandbox_root(const std::string& root_dir, bool driver = false);

class Daemon {
public:
    // Starts callctld with CALLCTLD_ROOT=root_dir, the stand-ins first on PATH,
    // and the given arguments ("debug" by default).
    explicit Daemon(const std::string& root_dir, std::vector<std::string> args = {"debug"});
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    pid_t pid() const { return pid_; }
    // Everything the daemon wrote on standard output and standard error so far.
    std::string output() const;
    bool wait_output(const std::string& needle,
                     std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
    // Waits for the process to end; returns its exit status, or -1000 on time-out.
    int wait_exit(std::chrono::milliseconds deadline = std::chrono::seconds(10));
    bool alive();
    void kill_now();
    // How many files the daemon's input loop watches (0 before the loop has
    // set its watch up): an edge written before that is never seen, as on
    // the board before the loop opens the value files.
    int input_watches() const;

private:
    std::string root_;
    std::string out_path_;
    pid_t pid_ = -1;
    int status_ = 0;
};

// The stand-ins' journal of the device root: one line per program run.
std::vector<std::string> journal(const std::string& root_dir);

}  // namespace testsupport
