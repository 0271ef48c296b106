// The call state as the daemon sees it. Written by the SIP event listener,
// read (and on a button press changed) by the main thread; each access is a
// single whole-integer load or store.
#pragma once
#include <atomic>

// 0 idle, 1 established, 2 incoming ringing, 3 outgoing, 5 no registered
// account (also at start), 6 dial requested by the button.
extern std::atomic<int> BARESIP_STATUS;
extern std::atomic<int> CURRENT_CALLS;
// Registration events that changed no table entry since the last watchdog check.
extern std::atomic<int> regcount;

// The account registration table: 1 registered, 0 not.
extern std::atomic<int> ACCOUNT1_REG;
extern std::atomic<int> ACCOUNT2_REG;
extern std::atomic<int> ACCOUNT3_REG;
extern std::atomic<int> ACCOUNTP2P_REG;
