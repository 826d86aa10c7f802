// SPDX-License-Identifier: MIT
// What the gateway keeps across restarts: its outbox and the ids of the commands it ran.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nimbet::bridge {

struct StoredMessage {
    int64_t seq;  // increases with every message added, across restarts
    std::string topic, payload;
};

// A message to write: it is only borrowed for the call.
struct MessageRef {
    int64_t seq;
    const std::string *topic, *payload;
};

// What a command id stood for: its result (empty while it runs, or when the
// gateway stopped before it ended) and the hash of the command it named
// (empty for ids kept by older versions, which did not record it).
struct CommandRecord {
    std::string result, hash;
};

// Owned and used by the gateway thread only. Every write is one
// transaction: it is on disk when the call returns true, and nothing of it
// is when it returns false.
class Store {
public:
    virtual ~Store() = default;

    // The outbox: messages in the order of their numbers.
    virtual std::vector<StoredMessage> load() = 0;
    // Adds and removes messages together; false with the reason when the
    // write failed (a full disk, a broken file).
    virtual bool save(const std::vector<MessageRef> &added, const std::vector<int64_t> &removed,
                      std::string &error) = 0;

    // Commands by id (the id's JSON text). lookup() is true for a known id
    // recorded no longer than the store's lifetime for ids before `now_s`
    // (seconds of the wall clock). start() records an id before its command
    // runs, and returns false when it could not (the command must not run
    // then: a restart would not know it); the oldest ids beyond the store's
    // count, and those older than its lifetime, are forgotten. finish()
    // records the result.
    virtual bool lookup(const std::string &id, int64_t now_s, CommandRecord &out) = 0;
    virtual bool start(const std::string &id, const std::string &hash, int64_t now_s) = 0;
    virtual void finish(const std::string &id, const std::string &result) = 0;

    // Where it lives, for messages ("memory" when nowhere); whether what it
    // holds outlives the process.
    virtual std::string where() const = 0;
    virtual bool durable() const = 0;
};

// How long and how many command ids are remembered.
struct CommandMemoryLimits {
    long ids;
    long seconds;
};

// Kept in memory only: the outbox dies with the process, command ids too.
std::unique_ptr<Store> memory_store(CommandMemoryLimits limits);

// Why sqlite_store() returned null.
enum class StoreFailure {
    Settings,    // no state directory, another gateway holds the file, no SQLite: a restart does not mend it
    Unavailable  // the disk refused (full, read-only, I/O errors): trying again later may work
};

// An SQLite database in WAL mode, DIR/bridge-NAME.sqlite, created with DIR
// when missing, and locked so that a second gateway with the same name
// cannot use it. A damaged file (one that fails SQLite's quick check) is
// moved aside as bridge-NAME.sqlite.damaged-TIME, the messages that could
// still be read from it go into a fresh file, and `notes` says so. Null
// with a message naming the file, and why, when it cannot be used.
std::unique_ptr<Store> sqlite_store(const std::string &dir, const std::string &name, CommandMemoryLimits limits,
                                    std::string &error, StoreFailure &failure, std::vector<std::string> &notes);

// A stable 64-bit hash (FNV-1a) of a command's canonical text, as 16 hex digits.
std::string command_hash(const std::string &canonical);

}  // namespace nimbet::bridge
