// Test support: a temporary device root, a real redis-server on that root's
// "/tmp/redis.sock", and a peer-side client that reads what the daemon sends.
#pragma once
#include <hiredis.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A temporary folder laid out like the device; becomes the device root.
class DeviceRoot {
public:
    DeviceRoot();
    ~DeviceRoot();
    DeviceRoot(const DeviceRoot&) = delete;
    DeviceRoot& operator=(const DeviceRoot&) = delete;

    const std::string& dir() const { return dir_; }
    // Absolute host path of a device path ("/etc/speaker.conf").
    std::string path(const std::string& device_path) const;
    void write(const std::string& device_path, const std::string& content) const;
    std::string read(const std::string& device_path) const;  // "" when absent
    bool exists(const std::string& device_path) const;
    void remove(const std::string& device_path) const;

private:
    std::string dir_;
};

// A redis-server on the device root's "/tmp/redis.sock" (no TCP, no disk).
class RedisServer {
public:
    explicit RedisServer(const DeviceRoot& root);
    ~RedisServer();
    void start();
    void stop();
    bool running() const { return pid_ > 0; }
    const std::string& socket() const { return socket_; }

private:
    std::string socket_;
    std::string conf_;
    int pid_ = -1;
};

// The peers' side of the bus.
class Peer {
public:
    explicit Peer(const std::string& socket);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Runs a command given as separate arguments; returns the reply (owned).
    redisReply* cmd(const std::vector<std::string>& args);
    void run(const std::vector<std::string>& args);
    std::vector<std::string> list(const std::string& key);  // LRANGE 0 -1, head first
    // The entries in push order (oldest first).
    std::vector<std::string> pushed(const std::string& key);
    void del(const std::string& key);
    void flushall();

private:
    redisContext* c_;
};

// A subscriber on its own connection, collecting messages in the background.
class Subscriber {
public:
    Subscriber(const std::string& socket, const std::string& channel);
    ~Subscriber();
    // Messages received so far, in arrival order.
    std::vector<std::string> messages();
    // Waits until at least n messages arrived (or the deadline passes).
    std::vector<std::string> wait_for(size_t n, std::chrono::milliseconds deadline = std::chrono::seconds(5));

private:
    struct Impl;
    Impl* impl_;
};

// Polls cond every few ms until it holds or the deadline passes.
bool eventually(const std::function<bool()>& cond,
                std::chrono::milliseconds deadline = std::chrono::seconds(5));

// Captures what the code under test prints on standard output.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string take();  // ends the capture and returns the text
private:
    bool active_;
};

std::vector<std::string> lines(const std::string& text);

// A "message" reply as a subscription delivers it, carrying payload (which
// must outlive it): what the listeners hand their handlers.
class MessageReply {
public:
    MessageReply(const std::string& channel, const std::string& payload);
    MessageReply(const MessageReply&) = delete;
    MessageReply& operator=(const MessageReply&) = delete;
    redisReply* get() { return &msg_; }
private:
    redisReply kind_{}, channel_{}, payload_{}, msg_{};
    redisReply* elems_[3] = {&kind_, &channel_, &payload_};
};

// Style for death tests: "threadsafe" re-executes the test binary, which an
// emulated cross-built binary cannot do (CALLCTLD_EMULATOR set); there the
// child is forked without exec ("fast").
const char* death_test_style();

}  // namespace testsupport
