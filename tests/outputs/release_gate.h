// Stands in for the passing of time on the timer thread: records the delay
// of every timer started and, while closed, holds the timers until the test
// lets them go.
#pragma once
#include <vector>

#include "fixture.h"
#include "outputs.h"
#include "timers.h"

class ReleaseGate {
public:
    explicit ReleaseGate(bool open) {
        timer_test::set_mode(timer_test::REAL);  // forgets the delays of an earlier test
        timer_test::set_mode(open ? timer_test::RUSHED : timer_test::HELD);
    }
    ~ReleaseGate() {
        drain();
        timer_test::set_mode(timer_test::REAL);
    }
    void close() { timer_test::set_mode(timer_test::HELD); }
    // Lets exactly one waiting (or the next) timer go: the one due first.
    void release_one() { timer_test::release_one(); }
    // Lets every timer go at once and waits until all have finished.
    bool drain() {
        timer_test::set_mode(timer_test::RUSHED);
        return testsupport::eventually([] { return timers_pending() == 0 && timed_releases_pending() == 0; });
    }
    // The delays asked for, in microseconds, in the order the timers started.
    std::vector<unsigned long> waits() { return timer_test::delays(); }
};
