// DTMF collection over arbitrary key sequences and codes. Input: byte 0 sets
// the two switches (bit 0 relay, bit 1 screen); the rest is split at NUL
// bytes into fields: the relay code, the screen code, then the "param" text of
// one key event per field (at most 48 events). After each event the collected
// keys must be what a plain model holds: the most recent 31 keys since the
// last match, cleared when the keys end with a switched-on code.
#include <cstring>
#include <string>
#include <vector>

#include "pool.h"
#include "sip.h"
#include "support.h"

using namespace fuzzsupport;

namespace {
// The code as the settings file gives it back through a 32-byte buffer:
// quoted, so blanks stay, cut at 31 characters.
std::string ini_value(const std::string& v) {
    std::string out;
    for (char c : v)
        if (c != '"' && c != '\n' && c != '\r') out += c;
    return out;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_stdout();
    record_runners();
    device_root();
    redisClient = nullptr;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool relay = data[0] & 1;
    const bool screen = data[0] & 2;
    std::vector<std::string> parts(1);
    for (size_t i = 1; i < size; i++) {
        if (data[i] == 0)
            parts.emplace_back();
        else
            parts.back() += static_cast<char>(data[i]);
    }
    while (parts.size() < 3) parts.emplace_back();
    std::string relay_code = ini_value(parts[0]);
    std::string screen_code = ini_value(parts[1]);
    write_file("/etc/speaker.conf", std::string("[relay_ctrl]\ndtmf = ") + (relay ? "yes" : "no") +
                                        "\ndtmf_code = \"" + relay_code + "\"\nmode = hangup\ntype = On\n" +
                                        "[screen_ctrl]\ndtmf = " + (screen ? "yes" : "no") + "\ndtmf_code = \"" +
                                        screen_code + "\"\nmode = answered\ntype = 1\n");
    relay_code = relay_code.substr(0, 31);
    screen_code = screen_code.substr(0, 31);

    memset(DTMF_STRING, 0, sizeof DTMF_STRING);
    std::string model;
    // 48 events are plenty for a 31-key buffer; more would only slow the run
    // (every event reads the settings file anew)
    if (parts.size() > 50) parts.resize(50);
    for (size_t i = 2; i < parts.size(); i++) {
        dtmfDetect(parts[i].c_str());
        if (relay || screen) {
            model += parts[i];
            if (model.size() > 31) model.erase(0, model.size() - 31);
            auto ends_with = [&](const std::string& code) {
                return model.size() >= code.size() && model.compare(model.size() - code.size(), code.size(), code) == 0;
            };
            if ((relay && ends_with(relay_code)) || (screen && ends_with(screen_code))) model.clear();
        }
        check(strnlen(DTMF_STRING, sizeof DTMF_STRING) < sizeof DTMF_STRING, "the keys stay terminated");
        check(model == DTMF_STRING, "the collected keys follow the model");
    }
    return 0;
}
