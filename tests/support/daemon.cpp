#include "daemon.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "fixture.h"

extern char** environ;

namespace testsupport {

std::string build_path(const std::string& rel) {
    const char* b = getenv("CALLCTLD_BUILD_DIR");
    return std::string(b ? b : CALLCTLD_DEFAULT_BUILD_DIR) + "/" + rel;
}

std::string source_path(const std::string& rel) {
    const char* s = getenv("CALLCTLD_SOURCE_DIR");
    return std::string(s ? s : CALLCTLD_DEFAULT_SOURCE_DIR) + "/" + rel;
}

int run_callctl(const std::string& args, std::string* out) {
    const char* emu = getenv("CALLCTLD_EMULATOR");
    std::string cmd = (emu ? std::string(emu) + " " : "") + "'" + build_path("callctl/callctl") + "' " + args;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return -1;
    char buf[4096];
    size_t n;
    out->clear();
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
    int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

void setup_sandbox_root(const std::string& root_dir, bool driver) {
    std::string cmd = "sh '" + source_path("sandbox/setup-root.sh") + "' '" + root_dir + "'" +
                      (driver ? "" : " --no-driver");
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
}

Daemon::Daemon(const std::string& root_dir, std::vector<std::string> args)
    : root_(root_dir), out_path_(root_dir + "/callctld.out") {
    std::string exe = build_path("service/daemon/callctld");
    std::vector<std::string> env_s;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        if (kv.rfind("PATH=", 0) == 0 || kv.rfind("CALLCTLD_ROOT=", 0) == 0) continue;
        env_s.push_back(kv);
    }
    const char* path = getenv("PATH");
    env_s.push_back("PATH=" + root_dir + "/standin-bin:" + (path ? path : "/usr/bin:/bin"));
    env_s.push_back("CALLCTLD_ROOT=" + root_dir);
    std::vector<char*> envp;
    for (auto& s : env_s) envp.push_back(const_cast<char*>(s.c_str()));
    envp.push_back(nullptr);

    // CALLCTLD_EMULATOR (words separated by blanks, the first an absolute
    // path) runs the binary under an emulator: a cross-built daemon under qemu.
    std::vector<std::string> argv_s;
    if (const char* emu = getenv("CALLCTLD_EMULATOR")) {
        std::istringstream words(emu);
        for (std::string w; words >> w;) argv_s.push_back(w);
    }
    argv_s.push_back(exe);
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_s) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << exe;
        pid_ = -1;
    }
}

Daemon::~Daemon() { kill_now(); }

void Daemon::kill_now() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    pid_ = -1;
}

bool Daemon::alive() {
    if (pid_ <= 0) return false;
    pid_t r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

int Daemon::wait_exit(std::chrono::milliseconds deadline) {
    if (pid_ <= 0) return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    if (!eventually([&] { return !alive(); }, deadline)) return -1000;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int Daemon::input_watches() const {
    if (pid_ <= 0) return 0;
    const std::string proc = "/proc/" + std::to_string(pid_);
    DIR* d = opendir((proc + "/fd").c_str());
    if (!d) return 0;
    int watches = 0;
    while (dirent* e = readdir(d)) {
        char target[64] = {};
        std::string link = proc + "/fd/" + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
        if (std::string(target) != "anon_inode:inotify") continue;
        std::ifstream info(proc + "/fdinfo/" + e->d_name);
        for (std::string l; std::getline(info, l);)
            if (l.rfind("inotify wd:", 0) == 0) watches++;
    }
    closedir(d);
    return watches;
}

std::string Daemon::output() const {
    std::ifstream f(out_path_);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool Daemon::wait_output(const std::string& needle, std::chrono::milliseconds deadline) const {
    return eventually([&] { return output().find(needle) != std::string::npos; }, deadline);
}

std::vector<std::string> journal(const std::string& root_dir) {
    std::ifstream f(root_dir + "/journal");
    std::vector<std::string> out;
    std::string l;
    while (std::getline(f, l)) out.push_back(l);
    return out;
}

}  // namespace testsupport
