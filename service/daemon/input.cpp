#include "input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "buttons.h"
#include "debug.h"
#include "device.h"
#include "oplog.h"
#include "settings.h"
#include "supervision.h"
#include "text.h"

namespace {
InputActions g_actions = default_input_actions();

// Reads up to 8 bytes from the start of a value file; true when it reads '0'.
bool sample_low(int fd) {
    char buf[8];
    memset(buf, 0, sizeof buf);
    ssize_t n = read(fd, buf, sizeof buf);
    lseek(fd, 0, SEEK_SET);
    return n > 0 && buf[0] == '0';
}
}  // namespace

InputActions default_input_actions() { return InputActions{keyAction, playBeep, action_url_fired, play_audio}; }

InputActions set_input_actions(const InputActions& actions) {
    InputActions old = g_actions;
    g_actions = actions;
    return old;
}

int debounce_samples(int fd) {
    int low = 0;
    for (int i = 0; i < DEBOUNCE_SAMPLES; i++) {
        if (sample_low(fd)) low++;
        dev::sleep_us(1000);
    }
    return low;
}

bool debounce_pressed(int fd) { return debounce_samples(fd) >= DEBOUNCE_PRESSED; }

int reset_hold_kind(int seconds) {
    if (seconds > 10) return 3;
    if (seconds > 3) return 2;
    return 0;
}

void on_call_button_press() {
    g_actions.playBeep();
    if (debug_on()) puts("KEY DOWN");
    writeLog("BUTTON", "KEY", "DOWN");

    char key_action[8];
    GetCmdValue(dev::SPEAKER_CONF, "intercom:key_action", key_action);
    if (strcmp(key_action, "call") == 0) {
        g_actions.keyAction(1);
    } else if (strcmp(key_action, "http") == 0) {
        char url[KEY_HTTP_URL_SIZE];
        GetCmdValue(dev::SPEAKER_CONF, "intercom:http_url", url);
        // a refused URL requested nothing, so it leaves no request row
        if (g_actions.action_url(url)) writeLog("FUNCTION", "KEY HTTP Request", url);
    } else if (strcmp(key_action, "play") == 0) {
        char file[KEY_AUDIO_FILE_SIZE];
        char repeat[16];
        GetCmdValue(dev::SPEAKER_CONF, "intercom:audio_file", file);
        GetCmdValue(dev::SPEAKER_CONF, "intercom:audio_repeat", repeat);
        int count = atoi(repeat);
        g_actions.play_audio(file, count);
        char detail[64];
        str_format(detail, sizeof detail, "File: %s; Repeat: %d", file, count);
        writeLog("FUNCTION", "KEY Play Auido", detail);
    }
}

void on_reset_press(ResetState* st) {
    st->press_time = dev::now();
    st->pressed = true;
    puts("KEY DOWN");
    writeLog("BUTTON", "RESET", "DOWN");
}

void on_reset_release(ResetState* st) {
    // One hold is one release: a release with no press recorded since the
    // last release (a bounce, or the first change seen after start) has no
    // hold of its own, so it logs nothing and acts on nothing.
    if (!st->pressed) return;
    st->pressed = false;
    int duration = static_cast<int>(dev::now() - st->press_time);
    printf("KEY UP, Time:%d\n", duration);
    char detail[64];
    str_format(detail, sizeof detail, "Release <Duration %ds>", duration);
    writeLog("BUTTON", "RESET", detail);
    int kind = reset_hold_kind(duration);
    if (kind != 0) g_actions.keyAction(kind);
}

namespace {
// On the device sysfs raises POLLPRI when a value changes. A device root on
// a PC holds plain files, which never do: there the loop also watches the two
// files with inotify. A write there is one edge, as a change is on the
// device: only the close of a written file counts (a write also raises
// modifications, which would make one write two edges). Notifications that
// pile up while the loop is busy are taken together as one, as sysfs does.
struct EdgeWatch {
    int fd = -1;
    int wd[2] = {-1, -1};
};

EdgeWatch open_edge_watch(const char* call_path, const char* reset_path) {
    EdgeWatch w;
    if (dev::root()[0] == '\0') return w;
    w.fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (w.fd < 0) return w;
    w.wd[0] = inotify_add_watch(w.fd, call_path, IN_CLOSE_WRITE);
    w.wd[1] = inotify_add_watch(w.fd, reset_path, IN_CLOSE_WRITE);
    return w;
}

// Drains the watch; marks which inputs changed.
void read_edges(const EdgeWatch& w, bool changed[2]) {
    alignas(struct inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = read(w.fd, buf, sizeof buf);
        if (n <= 0) break;
        for (char* p = buf; p < buf + n;) {
            auto* ev = reinterpret_cast<struct inotify_event*>(p);
            for (int i = 0; i < 2; i++)
                if (ev->wd == w.wd[i]) changed[i] = true;
            p += sizeof(struct inotify_event) + ev->len;
        }
    }
}
}  // namespace

int input_loop() {
    dev::Path call_path(dev::GPIO_CALL_BUTTON);
    dev::Path reset_path(dev::GPIO_RESET);
    int call_fd = open(call_path, O_RDONLY | O_CLOEXEC);
    int reset_fd = open(reset_path, O_RDONLY | O_CLOEXEC);
    // Read the level already there so the first poll waits for a change.
    char buf[8];
    if (call_fd >= 0) {
        if (read(call_fd, buf, sizeof buf) < 0) {
        }
        lseek(call_fd, 0, SEEK_SET);
    }
    if (reset_fd >= 0) {
        if (read(reset_fd, buf, sizeof buf) < 0) {
        }
        lseek(reset_fd, 0, SEEK_SET);
    }
    EdgeWatch watch = open_edge_watch(call_path, reset_path);
    ResetState reset;

    for (;;) {
        liveness_tick();
        struct pollfd fds[3];
        fds[0] = {call_fd, POLLPRI, 0};
        fds[1] = {reset_fd, POLLPRI, 0};
        fds[2] = {watch.fd, POLLIN, 0};
        int nfds = watch.fd >= 0 ? 3 : 2;
        int rc = poll(fds, static_cast<nfds_t>(nfds), 3000);
        if (rc < 0) {
            printf("npoll() faild! \n");
            return -1;
        }
        if (rc == 0) continue;
        bool changed[2] = {(fds[0].revents & POLLPRI) != 0, (fds[1].revents & POLLPRI) != 0};
        if (nfds == 3 && (fds[2].revents & POLLIN)) read_edges(watch, changed);

        if (changed[0] && call_fd >= 0 && debounce_pressed(call_fd)) on_call_button_press();
        if (changed[1] && reset_fd >= 0) {
            if (debounce_pressed(reset_fd))
                on_reset_press(&reset);
            else
                on_reset_release(&reset);
        }
    }
}
