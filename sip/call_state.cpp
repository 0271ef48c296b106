#include "call_state.h"

std::atomic<int> BARESIP_STATUS{5};
std::atomic<int> CURRENT_CALLS{0};
std::atomic<int> regcount{0};
std::atomic<int> ACCOUNT1_REG{0};
std::atomic<int> ACCOUNT2_REG{0};
std::atomic<int> ACCOUNT3_REG{0};
std::atomic<int> ACCOUNTP2P_REG{0};
