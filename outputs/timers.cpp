#include "timers.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>

#include "threads.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
    unsigned long id;  // 0: slot free
    Clock::time_point due;
    TimerAction action;
    unsigned long a, b;
};

// Everything below is guarded by g_m.
std::mutex g_m;
std::condition_variable g_cv;
// grows as timers are added (a flood of DTMF codes may hold thousands of
// releases) and is given back when the list is empty; never destroyed, as a
// detached timer thread may outlive the static destructors
std::vector<Timer>& g_timers = *new std::vector<Timer>();
unsigned long g_next_id = 1;
int g_waiting = 0;
int g_running = 0;
bool g_thread = false;
timer_test::Mode g_mode = timer_test::REAL;
int g_tickets = 0;
std::vector<unsigned long> g_delays;

// The waiting timer due first (the earlier started on a tie), or NULL.
Timer* earliest() {
    Timer* first = nullptr;
    for (Timer& t : g_timers)
        if (t.id != 0 && (first == nullptr || t.due < first->due || (t.due == first->due && t.id < first->id)))
            first = &t;
    return first;
}

// Waits until the earliest timer is due and takes it off the list; false
// when the list is empty (the thread then ends).
bool next_due(std::unique_lock<std::mutex>& lock, Timer& out) {
    for (;;) {
        Timer* t = earliest();
        if (t == nullptr) return false;
        bool due = false;
        if (g_mode == timer_test::RUSHED) {
            due = true;
        } else if (g_mode == timer_test::HELD) {
            due = g_tickets > 0;
            if (due) g_tickets--;
        } else {
            due = Clock::now() >= t->due;
        }
        if (due) {
            out = *t;
            t->id = 0;
            g_waiting--;
            g_running++;
            return true;
        }
        if (g_mode == timer_test::REAL) {
            // by value: a timer added while waiting may move the list
            Clock::time_point until = t->due;
            g_cv.wait_until(lock, until);
        } else
            g_cv.wait(lock);
    }
}

void run_timers() {
    std::unique_lock<std::mutex> lock(g_m);
    Timer t{};
    while (next_due(lock, t)) {
        lock.unlock();
        t.action(t.a, t.b);
        lock.lock();
        g_running--;
    }
    std::vector<Timer>().swap(g_timers);
    g_thread = false;
}

void* timer_thread(void*) {
    try {
        run_timers();
    } catch (...) {
        // a lock that failed: the waiting timers are lost, the daemon goes on
        puts("timer thread failed");
    }
    return nullptr;
}

}  // namespace

unsigned long timer_start(unsigned long us, TimerAction action, unsigned long a, unsigned long b) {
    std::lock_guard<std::mutex> g(g_m);
    Timer* slot = nullptr;
    for (Timer& t : g_timers)
        if (t.id == 0) {
            slot = &t;
            break;
        }
    if (slot == nullptr) {
        if (g_timers.size() >= TIMERS_MAX) return 0;
        try {
            g_timers.push_back(Timer{});
        } catch (const std::bad_alloc&) {
            return 0;
        }
        slot = &g_timers.back();
    }
    if (!g_thread) {
        if (!start_detached(timer_thread, nullptr)) return 0;
        g_thread = true;
    }
    *slot = Timer{g_next_id++, Clock::now() + std::chrono::microseconds(us), action, a, b};
    g_waiting++;
    if (g_mode != timer_test::REAL) g_delays.push_back(us);
    g_cv.notify_all();
    return slot->id;
}

bool timer_cancel(unsigned long id) {
    if (id == 0) return false;
    std::lock_guard<std::mutex> g(g_m);
    for (Timer& t : g_timers)
        if (t.id == id) {
            t.id = 0;
            g_waiting--;
            g_cv.notify_all();
            return true;
        }
    return false;
}

int timer_cancel_below(TimerAction action, unsigned long a_below) {
    std::lock_guard<std::mutex> g(g_m);
    int n = 0;
    for (Timer& t : g_timers)
        if (t.id != 0 && t.action == action && t.a < a_below) {
            t.id = 0;
            g_waiting--;
            n++;
        }
    if (n > 0) g_cv.notify_all();
    return n;
}

int timers_pending() {
    std::lock_guard<std::mutex> g(g_m);
    return g_waiting + g_running;
}

bool timer_thread_running() {
    std::lock_guard<std::mutex> g(g_m);
    return g_thread;
}

namespace timer_test {
void set_mode(Mode m) {
    std::lock_guard<std::mutex> g(g_m);
    g_mode = m;
    g_tickets = 0;
    if (m == REAL) g_delays.clear();
    g_cv.notify_all();
}
void release_one() {
    std::lock_guard<std::mutex> g(g_m);
    g_tickets++;
    g_cv.notify_all();
}
std::vector<unsigned long> delays() {
    std::lock_guard<std::mutex> g(g_m);
    return g_delays;
}
}  // namespace timer_test
