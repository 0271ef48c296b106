// Stands in for the sleeper of the timed releases: records every wait and,
// while closed, holds the waiting releases until the test lets them go.
#pragma once
#include <condition_variable>
#include <mutex>
#include <vector>

#include "device.h"
#include "fixture.h"
#include "outputs.h"

class ReleaseGate {
public:
    explicit ReleaseGate(bool open) {
        s().open = open;
        s().tickets = 0;
        s().waits.clear();
        dev::set_sleeper(&sleep);
    }
    ~ReleaseGate() {
        drain();
        dev::set_sleeper(nullptr);
    }
    void close() { std::lock_guard<std::mutex> g(s().m); s().open = false; }
    // Lets exactly one waiting (or the next) release go.
    void release_one() {
        std::lock_guard<std::mutex> g(s().m);
        s().tickets++;
        s().cv.notify_all();
    }
    // Opens the gate and waits until every release has finished.
    bool drain() {
        {
            std::lock_guard<std::mutex> g(s().m);
            s().open = true;
            s().cv.notify_all();
        }
        return testsupport::eventually([] { return timed_releases_pending() == 0; });
    }
    std::vector<unsigned long> waits() {
        std::lock_guard<std::mutex> g(s().m);
        return s().waits;
    }

private:
    struct State {
        std::mutex m;
        std::condition_variable cv;
        bool open = true;
        int tickets = 0;
        std::vector<unsigned long> waits;
    };
    static State& s() {
        static State st;
        return st;
    }
    static void sleep(unsigned long us) {
        std::unique_lock<std::mutex> g(s().m);
        s().waits.push_back(us);
        s().cv.wait(g, [] { return s().open || s().tickets > 0; });
        if (!s().open) s().tickets--;
    }
};
