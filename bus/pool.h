// The shared pool of five Redis connections on the device's socket. Each
// connection is lent to one borrower at a time; a loan checks the
// connection with PING and reconnects a broken one on the spot.
#pragma once
#include <pthread.h>
#include <ctime>

struct redisContext;

enum { REDIS_POOL_SIZE = 5 };

struct RedisPool {
    int in_use[REDIS_POOL_SIZE];
    redisContext* conn[REDIS_POOL_SIZE];
    const char* path;  // the caller's text, not copied
    time_t last_used[REDIS_POOL_SIZE];
    pthread_mutex_t lock;
};

// The pool every component sends through; built by init.
extern RedisPool* redisClient;

// Builds a pool on the Unix socket at path (a device path: the device root is
// put in front). Returns the pool even when no connection could be made.
RedisPool* create_redis_pool_client(const char* path);
// Closes every connection and frees the pool (tests; the daemon never does).
void redis_pool_destroy(RedisPool* pool);

// Lends the lowest free slot; -1 when all five are lent out. A slot that is
// handed back always has a connection the PING found working.
int redis_pool_get_context(RedisPool* pool);
void redis_pool_release_connection(RedisPool* pool, int slot);
// The same loan without the message when nothing can be lent: for a caller
// that tries every few seconds whatever the server's state.
int redis_pool_lend_quietly(RedisPool* pool);

// Sends one command with exactly one "%s" argument through redisClient and
// discards the reply. Dropped when no slot is free. True when Redis took it.
bool redis_command_safe(const char* fmt, const char* arg);

// Makes the caller's private connection usable, reconnecting it when broken.
// Returns 0 when usable, -1 when not.
int ensure_connected(redisContext** ctx);

// Connects to a device socket (root in front) and marks the descriptor
// close-on-exec. May return NULL or a context with its error set.
redisContext* redis_connect_device(const char* path);

// Scope guard for a pool loan: returns the slot when it goes out of scope.
class PoolLoan {
public:
    explicit PoolLoan(RedisPool* pool);
    ~PoolLoan();
    PoolLoan(const PoolLoan&) = delete;
    PoolLoan& operator=(const PoolLoan&) = delete;
    int slot() const { return slot_; }
    redisContext* ctx() const;  // NULL when nothing was lent
private:
    RedisPool* pool_;
    int slot_;
};
