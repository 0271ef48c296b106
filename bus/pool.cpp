#include "pool.h"

#include <fcntl.h>
#include <hiredis.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "debug.h"
#include "device.h"

RedisPool* redisClient = nullptr;

namespace {
void set_cloexec(redisContext* c) {
    if (c != nullptr && c->err == 0 && c->fd >= 0) {
        int flags = fcntl(c->fd, F_GETFD);
        if (flags >= 0) fcntl(c->fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

bool usable(const redisContext* c) { return c != nullptr && c->err == 0; }
}  // namespace

redisContext* redis_connect_device(const char* path) {
    dev::Path p(path);
    redisContext* c = redisConnectUnix(p);
    set_cloexec(c);
    return c;
}

RedisPool* create_redis_pool_client(const char* path) {
    RedisPool* pool = new (std::nothrow) RedisPool();
    if (pool == nullptr) return nullptr;
    pool->path = path;
    pthread_mutex_init(&pool->lock, nullptr);
    for (int i = 0; i < REDIS_POOL_SIZE; i++) {
        pool->in_use[i] = 0;
        pool->conn[i] = nullptr;
        redisContext* c = redis_connect_device(path);
        if (c != nullptr && c->err == 0) {
            pool->conn[i] = c;
            pool->last_used[i] = time(nullptr);
        } else if (c != nullptr) {
            printf("Connection error: %s\n", c->errstr);
            redisFree(c);
        } else {
            printf("Connection error: can't allocate redis context\n");
        }
    }
    return pool;
}

void redis_pool_destroy(RedisPool* pool) {
    if (pool == nullptr) return;
    for (auto& c : pool->conn) {
        if (c) redisFree(c);
        c = nullptr;
    }
    pthread_mutex_destroy(&pool->lock);
    delete pool;
}

namespace {
int lend(RedisPool* pool, bool quiet) {
    if (pool == nullptr) {
        if (!quiet) printf("No available connections in pool\n");
        return -1;
    }
    int slot = -1;
    bool connected = false;
    pthread_mutex_lock(&pool->lock);
    for (int i = 0; i < REDIS_POOL_SIZE; i++) {
        if (pool->in_use[i] == 0) {
            slot = i;
            break;
        }
    }
    if (slot >= 0) {
        pool->in_use[slot] = 1;
        redisContext*& c = pool->conn[slot];
        // A slot whose first connection failed has none: connect on this loan.
        redisReply* reply = nullptr;
        if (c != nullptr) reply = static_cast<redisReply*>(redisCommand(c, "PING"));
        if (reply == nullptr || !usable(c)) {
            if (c != nullptr && debug_on() && !quiet) printf("redis connect failed, retry!\n");
            if (c != nullptr) redisFree(c);
            c = redis_connect_device(pool->path);
        }
        if (reply) freeReplyObject(reply);
        pool->last_used[slot] = time(nullptr);
        // A reconnect that failed again stays in the slot with its error set
        // and is lent: hiredis sends nothing on it and the borrower's command
        // simply fails; the next loan's PING tries again. Only a missing
        // handle cannot be lent: the slot goes back and the loan fails.
        connected = c != nullptr;
        if (!connected) pool->in_use[slot] = 0;
    }
    pthread_mutex_unlock(&pool->lock);
    if (slot < 0 || !connected) {
        if (!quiet) printf("No available connections in pool\n");
        return -1;
    }
    return slot;
}
}  // namespace

int redis_pool_get_context(RedisPool* pool) { return lend(pool, false); }

int redis_pool_lend_quietly(RedisPool* pool) { return lend(pool, true); }

void redis_pool_release_connection(RedisPool* pool, int slot) {
    if (pool == nullptr || slot < 0 || slot >= REDIS_POOL_SIZE) return;
    pthread_mutex_lock(&pool->lock);
    pool->in_use[slot] = 0;
    pthread_mutex_unlock(&pool->lock);
}

PoolLoan::PoolLoan(RedisPool* pool) : pool_(pool), slot_(redis_pool_get_context(pool)) {}
PoolLoan::~PoolLoan() {
    if (slot_ >= 0) redis_pool_release_connection(pool_, slot_);
}
redisContext* PoolLoan::ctx() const { return slot_ >= 0 ? pool_->conn[slot_] : nullptr; }

bool redis_command_safe(const char* fmt, const char* arg) {
    PoolLoan loan(redisClient);
    redisContext* c = loan.ctx();
    if (c == nullptr) return false;
    redisReply* reply = static_cast<redisReply*>(redisCommand(c, fmt, arg));
    bool done = reply != nullptr && reply->type != REDIS_REPLY_ERROR;
    if (reply) freeReplyObject(reply);
    return done;
}

int ensure_connected(redisContext** ctx) {
    if (usable(*ctx)) return 0;
    if (*ctx) redisFree(*ctx);
    *ctx = redis_connect_device(dev::REDIS_SOCK);
    return usable(*ctx) ? 0 : -1;
}
