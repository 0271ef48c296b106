// Crash-safe CSV rows: a row goes into its file whole or not at all, and a
// file left ending in a partial row (a crash, a full disk) never has the next
// row glued to it. A full disk is played by the file-size limit, which makes
// a write stop short exactly where the disk would.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "append.h"
#include "log.h"

namespace {

class AppendHazard : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/callctld-append-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/rows.csv";
        old_xfsz_ = signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
        getrlimit(RLIMIT_FSIZE, &saved_);
        console_ = tmpfile();
        log_set_console(console_);
        log_init_callback();
    }
    void TearDown() override {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, old_xfsz_);
        log_init_callback();
        log_set_console(nullptr);
        fclose(console_);
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    void put(const std::string& content) { std::ofstream(path_, std::ios::binary) << content; }
    std::string content() {
        std::ifstream f(path_, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    // Files may grow to at most bytes (the "disk" is full there).
    void limit(rlim_t bytes) {
        struct rlimit r = saved_;
        r.rlim_cur = bytes;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &r), 0);
    }
    void unlimit() { setrlimit(RLIMIT_FSIZE, &saved_); }
    int open_rw() { return open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644); }

    std::string dir_, path_;
    struct rlimit saved_ {};
    void (*old_xfsz_)(int) = nullptr;
    FILE* console_ = nullptr;
};

TEST_F(AppendHazard, NextRowStartsOnItsOwnLineAfterAPartialOne) {
    struct Case {
        const char *before, *after;
    } cases[] = {
        {"", "a,1\n"},
        {"x,0\n", "x,0\na,1\n"},
        {"x,0\nhalf a r", "x,0\nhalf a r\na,1\n"},
        {"no newline at all", "no newline at all\na,1\n"},
    };
    for (const Case& c : cases) {
        put(c.before);
        int fd = open_rw();
        ASSERT_GE(fd, 0);
        EXPECT_EQ(append_lines(fd, "a,1\n", 4), 0);
        close(fd);
        EXPECT_EQ(content(), c.after) << c.before;
    }
}

TEST_F(AppendHazard, RowThatDoesNotFitLeavesNoPartOfIt) {
    put("x,0\n");
    int fd = open_rw();
    limit(10);  // room for 6 of the 12 bytes
    errno = 0;
    EXPECT_EQ(append_lines(fd, "row,2,three\n", 12), -1);
    EXPECT_EQ(errno, EFBIG);
    EXPECT_EQ(content(), "x,0\n");
    unlimit();
    EXPECT_EQ(append_lines(fd, "row,2,three\n", 12), 0);
    EXPECT_EQ(content(), "x,0\nrow,2,three\n");
    close(fd);
}

TEST_F(AppendHazard, FileSinkReportsARowItCouldNotWriteAndTheNextOneLandsWhole) {
    put("2024-01-01 00:00:00,BUTTON,KE");  // cut short by a crash
    FILE* fp = fopen(path_.c_str(), "a+");
    ASSERT_NE(fp, nullptr);
    log_add_fp(fp, LOG_INFO);
    log_log(LOG_INFO, "main", 274, "%s", "BUTTON,KEY,DOWN");
    EXPECT_EQ(log_file_status(), 0);
    std::string good = content();
    ASSERT_EQ(std::count(good.begin(), good.end(), '\n'), 2) << good;
    const std::string row = ",BUTTON,KEY,DOWN\n";
    EXPECT_EQ(good.substr(good.size() - row.size()), row);

    limit(good.size() + 10);  // the next row does not fit
    log_log(LOG_INFO, "main", 274, "%s", "FUNCTION,KEY Call,1002 <auto>");
    EXPECT_EQ(log_file_status(), EFBIG);
    EXPECT_EQ(content(), good);
    unlimit();
    log_log(LOG_INFO, "main", 274, "%s", "FUNCTION,KEY Call,1002 <auto>");
    EXPECT_EQ(log_file_status(), 0);
    std::string after = content();
    EXPECT_EQ(after.substr(0, good.size()), good);
    const std::string next = ",FUNCTION,KEY Call,1002 <auto>\n";
    EXPECT_EQ(after.substr(after.size() - next.size()), next);
    EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), 3);
    log_init_callback();
    fclose(fp);
}

TEST_F(AppendHazard, LongRowIsWrittenWholeToo) {
    FILE* fp = fopen(path_.c_str(), "a+");
    ASSERT_NE(fp, nullptr);
    log_add_fp(fp, LOG_INFO);
    const std::string entry(5000, 'x');
    log_log(LOG_INFO, "main", 274, "%s", entry.c_str());
    EXPECT_EQ(log_file_status(), 0);
    std::string row = content();
    EXPECT_EQ(row.size(), 20 + entry.size() + 1);
    EXPECT_EQ(row.substr(19), "," + entry + "\n");
    log_init_callback();
    fclose(fp);
}

}  // namespace
