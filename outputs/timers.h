// Every timed action of the daemon (the timed releases, the relay cap, the
// call-time limit and its warning, the wait for a requested dial) waits on
// one timer thread: a deadline list under a mutex and a condition variable.
// A timer whose reason has ended is cancelled and is gone at once; the thread
// itself is started when the first timer is added to an empty list and ends
// when the list is empty again, so an idle daemon has no timer thread.
#pragma once
#include <vector>

// A timer's action runs on the timer thread with the two values given when
// the timer was started; it must not block for long (later timers wait).
typedef void (*TimerAction)(unsigned long a, unsigned long b);

// Most timers waiting at once; a start beyond it fails like a thread that
// cannot be created. Far above what a caller's keys can start within the
// longest release: a timer refused for room would leave the relay On.
enum { TIMERS_MAX = 65536 };

// Starts a timer that runs action(a, b) after us microseconds. Returns its id
// (never 0), or 0 when it could not be started (the list is full, or the
// timer thread could not be created).
unsigned long timer_start(unsigned long us, TimerAction action, unsigned long a, unsigned long b);
// Cancels a timer that has not begun its action: true when it was waiting.
bool timer_cancel(unsigned long id);
// Cancels every waiting timer of action whose value a is below a_below;
// returns how many.
int timer_cancel_below(TimerAction action, unsigned long a_below);
// Timers waiting or running their action.
int timers_pending();
// Whether the timer thread is running.
bool timer_thread_running();

// Tests: time stands still while held (no timer fires by itself; each
// ticket fires the earliest one), and runs out at once while rushed (every
// timer is due as soon as it is started). The delays asked for are
// recorded in test modes.
namespace timer_test {
enum Mode { REAL, HELD, RUSHED };
void set_mode(Mode m);
void release_one();
std::vector<unsigned long> delays();
}  // namespace timer_test
