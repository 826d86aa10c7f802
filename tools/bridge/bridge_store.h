// SPDX-License-Identifier: MIT
// What the gateway keeps across restarts: its outbox and the ids of the commands it ran.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nimbet::bridge {

struct StoredMessage {
    int64_t seq;  // increases with every message added
    std::string topic, payload;
};

// Writes are gathered until commit(), which makes them durable in one
// transaction. Owned and used by the gateway thread only.
class Store {
public:
    virtual ~Store() = default;

    // The outbox: messages in the order added.
    virtual int64_t add(const std::string &topic, const std::string &payload) = 0;
    virtual void remove(int64_t seq) = 0;
    virtual std::vector<StoredMessage> load() = 0;

    // Commands by id (the id's JSON text). lookup() is true for a known id,
    // with its result (empty while it runs, or when the gateway stopped
    // before it ended). start() records an id before its command runs,
    // finish() its result; the oldest ids beyond the limit are forgotten.
    virtual bool lookup(const std::string &id, std::string &result) = 0;
    virtual void start(const std::string &id) = 0;
    virtual void finish(const std::string &id, const std::string &result) = 0;

    virtual void commit() = 0;
    // Where it lives, for messages ("memory" when nowhere).
    virtual std::string where() const = 0;
};

// Kept in memory only: the outbox dies with the process, command ids too.
std::unique_ptr<Store> memory_store(long command_ids);

// An SQLite database in WAL mode, DIR/bridge-NAME.sqlite, created with DIR
// when missing, and locked so that a second gateway with the same name
// cannot use it. Null with a message naming the file when it cannot be
// opened (or without SQLite in this build).
std::unique_ptr<Store> sqlite_store(const std::string &dir, const std::string &name, long command_ids,
                                    std::string &error);

}  // namespace nimbet::bridge
