// The device seam: every fixed path and outside command of the daemon, the
// device root, and the runners through which outside programs are started.
//
// With CALLCTLD_ROOT set (never on the device) the root is put in front of
// every absolute path the daemon opens, connects to, starts or writes into a
// shell command. Unset, every path and command is the device's own text.
#pragma once
#include <sys/types.h>
#include <ctime>
#include <cstddef>
#include <cstdio>

namespace dev {

// ---- fixed paths -----------------------------------------------------------
constexpr const char* SPEAKER_CONF = "/etc/speaker.conf";
constexpr const char* VOLCTRL_CONF = "/oem/etc/volctrl.conf";
constexpr const char* SCHEDULE_CONF = "/oem/etc/schedule.conf";
constexpr const char* REDIS_SOCK = "/tmp/redis.sock";
constexpr const char* GPIO_CALL_BUTTON = "/sys/class/gpio/gpio111/value";
constexpr const char* GPIO_RESET = "/sys/class/gpio/gpio73/value";
constexpr const char* GPIO_AMPLIFIER = "/sys/class/gpio/gpio5/value";
constexpr const char* GPIO_AI_V32 = "/sys/class/gpio/gpio143/value";
constexpr const char* GPIO_AI = "/sys/class/gpio/gpio134/value";
constexpr const char* OPLOG_CSV = "/userdata/system.csv";
constexpr const char* CDR_CSV = "/userdata/cdr.csv";
// The local syslog socket (datagrams), when "system:syslog" is "yes".
constexpr const char* DEV_LOG = "/dev/log";
constexpr const char* OEM_USERDATA = "/oem/.userdata";
constexpr const char* SOUNDS_EN = "/usr/share/sounds/en/";
constexpr const char* SOUNDS_CN = "/usr/share/sounds/cn/";
constexpr const char* BARESIP_SOUNDS = "/usr/share/baresip/";
constexpr const char* KEY_BEEP_MP3 = "/home/quillhorn/target/share/sounds/beep.mp3";
constexpr const char* REDIS_CLI = "/usr/sbin/redis-cli";
constexpr const char* AMIXER = "/usr/bin/amixer";
constexpr const char* IFCONFIG = "/sbin/ifconfig";
constexpr const char* SET_VOLUME_SH = "/etc/scripts/set_volume.sh";
constexpr const char* PLAY_REBOOTING_SH = "/etc/scripts/play_rebooting.sh";
constexpr const char* SIPPHONE_SH = "/etc/scrtips/sipphone.sh";
constexpr const char* REBOOT = "/sbin/reboot";
constexpr const char* VLC = "/usr/sbin/vlc";
constexpr const char* PLAYLIST_FMT = "/tmp/playlist_%d.m3u";
constexpr const char* VLC_SOCK_FMT = "/tmp/vlc_%d.sock";
// The schedule's driver: the last local minute it evaluated (lost at reboot).
constexpr const char* DRIVER_MINUTE = "/tmp/callctld_schedule_minute";
// Only in a device root: signed seconds by which now() is moved (see now()).
constexpr const char* CLOCK_OFFSET = "/clock_offset";

// ---- device root -----------------------------------------------------------
// The root in force ("" on the device). Read from CALLCTLD_ROOT at first use;
// tests may set it with set_root before starting any thread.
const char* root();
void set_root(const char* r);

// An absolute device path with the root in front, held in a fixed buffer.
class Path {
public:
    explicit Path(const char* abs);
    // printf-style: the formatted text is an absolute path (e.g. PLAYLIST_FMT).
    Path(const char* fmt, int n);
    const char* c_str() const { return buf_; }
    operator const char*() const { return buf_; }
private:
    char buf_[512];
};

// ---- runners ---------------------------------------------------------------
// Shell commands (system): returns the raw status as system() does.
using ShellRunner = int (*)(const char* cmd);
// Pipelines (popen): reads the first line (at most cap-1 characters, newline
// kept) into line. Returns -1 when the pipeline could not be started, 0 when
// it printed no line, 1 when a line was read. The pipeline is always closed.
using PipeRunner = int (*)(const char* cmd, char* line, size_t cap);
// Player spawn (posix_spawn, empty environment): returns the child pid, or -1.
using SpawnRunner = pid_t (*)(const char* path, char* const argv[]);
// Wall clock in whole seconds: time(), and in a device root plus the seconds
// that the root's CLOCK_OFFSET file holds (the sandbox moves the clock so).
using Clock = time_t (*)();
// Sleep in microseconds.
using Sleeper = void (*)(unsigned long us);

int run_shell(const char* cmd);
int run_pipe(const char* cmd, char* line, size_t cap);
pid_t spawn(const char* path, char* const argv[]);
time_t now();
void sleep_us(unsigned long us);

// Swap a runner (tests); nullptr restores the real one. Returns the previous.
ShellRunner set_shell_runner(ShellRunner r);
PipeRunner set_pipe_runner(PipeRunner r);
SpawnRunner set_spawn_runner(SpawnRunner r);
Clock set_clock(Clock c);
Sleeper set_sleeper(Sleeper s);

// The real runners, for stand-ins that wrap them.
int real_shell(const char* cmd);
int real_pipe(const char* cmd, char* line, size_t cap);
pid_t real_spawn(const char* path, char* const argv[]);

// Files the daemon opens are close-on-exec, so the programs it starts inherit
// nothing: fopen with "e" added to the mode.
FILE* fopen_cloexec(const char* path, const char* mode);
// The same for a plain read-only descriptor (open with O_CLOEXEC); -1 on failure.
int open_read_cloexec(const char* path);

}  // namespace dev
