// The call-detail record over arbitrary field values. Input: byte 0 picks the
// call's course (bit 0 outgoing, bit 1 answered, bit 2 a start at all, bit 3
// the file left ending in a partial line), bytes 1-8 the start time, then NUL-
// separated account, number and close reason. Each close must append exactly
// one line to "/userdata/cdr.csv": the fields cut to their widths, no line
// break inside, and on a line of its own even after a partial line.
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "device.h"
#include "sip.h"
#include "support.h"
#include "text.h"

using namespace fuzzsupport;

namespace {
time_t g_now;
time_t fake_clock() { return g_now; }

// What the record keeps of a value: its control characters as '?', cut to
// the field's width.
std::string field(const std::string& v, size_t width) {
    std::vector<char> buf(width + 1);
    str_copy_printable(buf.data(), buf.size(), v.c_str());
    return std::string(buf.data());
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_stdout();
    device_root();
    dev::set_clock(fake_clock);
    write_file("/userdata/.keep", "");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    const uint8_t course = data[0];
    int64_t start = 0;
    memcpy(&start, data + 1, 8);
    // any time the C library can break down (years -2^31.. 2^31)
    start %= 60LL * 60 * 24 * 366 * 100000;
    std::vector<std::string> parts(1);
    for (size_t i = 9; i < size; i++) {
        if (data[i] == 0)
            parts.emplace_back();
        else
            parts.back() += static_cast<char>(data[i]);
    }
    parts.resize(3);

    const std::string prefix = (course & 8) ? "2024-01-01,00:00:00,00:00:01,sip:1@h,2,1,in,ANSWERED,cut sh" : "";
    write_file("/userdata/cdr.csv", prefix);

    reset_callInfo();
    g_now = static_cast<time_t>(start);
    if (course & 4) {
        if (course & 1)
            setOutgoingCallInfo(parts[0].c_str(), parts[1].c_str());
        else
            setIncomingCallInfo(parts[0].c_str(), parts[1].c_str());
    }
    if (course & 2) {
        g_now += course >> 4;
        if (g_now == 0) g_now = 1;  // an answer time of 0 reads as "not answered"
        setAnswerCallInfo();
    }
    g_now += 75;
    setClosedCallInfo(parts[2].c_str());

    std::string file = read_file("/userdata/cdr.csv");
    std::string body = file.substr(prefix.size());
    if (!prefix.empty()) {
        check(file.compare(0, prefix.size(), prefix) == 0, "what the file held stays");
        check(!body.empty() && body[0] == '\n', "after a partial line the new line starts on its own");
        body.erase(0, 1);
    }
    check(!body.empty() && body.back() == '\n', "the line ends in a newline");
    check(body.find('\n') == body.size() - 1, "one close is exactly one line");

    // the columns after the times: account, number, duration, direction,
    // result, reason; a comma inside a field adds columns, so compare whole
    bool started = course & 4;
    bool answered = course & 2;
    std::string dir = started ? ((course & 1) ? "out" : "in") : "";
    std::string result = !started ? (answered ? "ANSWERED" : "") : (answered ? "ANSWERED" : (course & 1) ? "NO ANSWER" : "MISSED CALL");
    long duration = answered ? 75 : 0;
    std::string tail = "," + (started ? field(parts[0], 31) : "") + "," + (started ? field(parts[1], 31) : "") + "," +
                       std::to_string(duration) + "," + dir + "," + result + "," + field(parts[2], 67) + "\n";
    check(body.size() >= tail.size() && body.compare(body.size() - tail.size(), tail.size(), tail) == 0,
          "the fields are the values cut to their widths");
    check(callInfo.account[0] == '\0' && callInfo.reason[0] == '\0' && callInfo.answer_time == 0,
          "the record is empty after the close");
    return 0;
}
