// SPDX-License-Identifier: MIT
// What the gateway keeps across restarts: in memory, or in an SQLite database in its state directory.
#include "bridge_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>

#ifdef NIMBET_BRIDGE_WITH_SQLITE
#include <sqlite3.h>
#endif

#include "bridge_log.h"

namespace nimbet::bridge {

namespace {

// Command ids and their results, the oldest forgotten first.
class CommandMemory {
public:
    explicit CommandMemory(long limit) : limit_(static_cast<std::size_t>(limit)) {}
    bool lookup(const std::string &id, std::string &result) const
    {
        const auto it = results_.find(id);
        if (it == results_.end())
            return false;
        result = it->second;
        return true;
    }
    void start(const std::string &id)
    {
        if (!results_.emplace(id, "").second)
            return;
        order_.push_back(id);
        if (order_.size() > limit_) {
            results_.erase(order_.front());
            order_.pop_front();
        }
    }
    void finish(const std::string &id, const std::string &result)
    {
        const auto it = results_.find(id);
        if (it != results_.end())
            it->second = result;
    }

private:
    std::size_t limit_;
    std::map<std::string, std::string> results_;
    std::deque<std::string> order_;
};

class MemoryStore : public Store {
public:
    explicit MemoryStore(long command_ids) : commands_(command_ids) {}
    int64_t add(const std::string &, const std::string &) override { return ++seq_; }
    void remove(int64_t) override {}
    std::vector<StoredMessage> load() override { return {}; }
    bool lookup(const std::string &id, std::string &result) override { return commands_.lookup(id, result); }
    void start(const std::string &id) override { commands_.start(id); }
    void finish(const std::string &id, const std::string &result) override { commands_.finish(id, result); }
    void commit() override {}
    std::string where() const override { return "memory"; }

private:
    int64_t seq_ = 0;
    CommandMemory commands_;
};

#ifdef NIMBET_BRIDGE_WITH_SQLITE

// One prepared statement, reset after each use.
class Statement {
public:
    Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    bool ok() const { return stmt_ != nullptr; }
    Statement &bind(int i, const std::string &text)
    {
        sqlite3_bind_blob(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement &bind(int i, int64_t v)
    {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    // Steps once: SQLITE_ROW, SQLITE_DONE or an error.
    int step() { return sqlite3_step(stmt_); }
    std::string text(int col) const
    {
        const void *p = sqlite3_column_blob(stmt_, col);
        return p == nullptr ? std::string()
                            : std::string(static_cast<const char *>(p), static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col)));
    }
    int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
    bool is_null(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
    void reset()
    {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

private:
    sqlite3_stmt *stmt_ = nullptr;
};

constexpr const char *kSchema =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=NORMAL;"
    "CREATE TABLE IF NOT EXISTS outbox (seq INTEGER PRIMARY KEY AUTOINCREMENT, topic TEXT NOT NULL, payload BLOB);"
    "CREATE TABLE IF NOT EXISTS commands (id TEXT PRIMARY KEY, result TEXT);";

// WAL with synchronous=NORMAL: a committed transaction survives the
// process's death; after a power loss the last ones may be missing, never
// half there.
class SqliteStore : public Store {
public:
    SqliteStore(sqlite3 *db, int lock_fd, std::string path, long command_ids)
        : handle_{db, lock_fd}, db_(db), path_(std::move(path)), limit_(command_ids),
          add_(db, "INSERT INTO outbox (topic, payload) VALUES (?, ?)"),
          remove_(db, "DELETE FROM outbox WHERE seq = ?"),
          load_(db, "SELECT seq, topic, payload FROM outbox ORDER BY seq"),
          lookup_(db, "SELECT result FROM commands WHERE id = ?"),
          start_(db, "INSERT OR IGNORE INTO commands (id, result) VALUES (?, NULL)"),
          finish_(db, "UPDATE commands SET result = ? WHERE id = ?"),
          forget_(db, "DELETE FROM commands WHERE rowid <= (SELECT max(rowid) FROM commands) - ?")
    {
    }
    ~SqliteStore() override { commit(); }
    bool ready() const
    {
        return add_.ok() && remove_.ok() && load_.ok() && lookup_.ok() && start_.ok() && finish_.ok() && forget_.ok();
    }

    int64_t add(const std::string &topic, const std::string &payload) override
    {
        begin();
        run(add_.bind(1, topic).bind(2, payload), "keep a message");
        return sqlite3_last_insert_rowid(db_);
    }
    void remove(int64_t seq) override
    {
        begin();
        run(remove_.bind(1, seq), "remove a message");
    }
    std::vector<StoredMessage> load() override
    {
        std::vector<StoredMessage> out;
        while (load_.step() == SQLITE_ROW)
            out.push_back({load_.integer(0), load_.text(1), load_.text(2)});
        load_.reset();
        return out;
    }
    bool lookup(const std::string &id, std::string &result) override
    {
        lookup_.bind(1, id);
        const bool found = lookup_.step() == SQLITE_ROW;
        result = found && !lookup_.is_null(0) ? lookup_.text(0) : std::string();
        lookup_.reset();
        return found;
    }
    void start(const std::string &id) override
    {
        begin();
        run(start_.bind(1, id), "remember a command");
        if (++started_ % 256 == 0)
            run(forget_.bind(1, limit_), "forget old commands");
        // Durable before the command runs: a restart must not run it again.
        commit();
    }
    void finish(const std::string &id, const std::string &result) override
    {
        begin();
        run(finish_.bind(1, result).bind(2, id), "remember a result");
    }
    void commit() override
    {
        if (!in_transaction_)
            return;
        in_transaction_ = false;
        exec("COMMIT", "commit");
    }
    std::string where() const override { return path_; }

private:
    void begin()
    {
        if (in_transaction_)
            return;
        in_transaction_ = exec("BEGIN", "begin a transaction");
    }
    bool exec(const char *sql, const char *what)
    {
        char *message = nullptr;
        const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
        if (rc != SQLITE_OK)
            failed(what, message != nullptr ? message : sqlite3_errstr(rc));
        sqlite3_free(message);
        return rc == SQLITE_OK;
    }
    void run(Statement &s, const char *what)
    {
        const int rc = s.step();
        if (rc != SQLITE_DONE && rc != SQLITE_ROW)
            failed(what, sqlite3_errmsg(db_));
        s.reset();
    }
    // A full disk or a broken file: said once, and the gateway goes on with
    // what it holds in memory.
    void failed(const char *what, const char *why)
    {
        if (!failing_)
            log(Level::Error, std::string("state file ") + path_ + ": cannot " + what + ": " + why);
        failing_ = true;
    }

    // The database and its lock, released after the statements (declared
    // first, so destroyed last).
    struct Handle {
        sqlite3 *db;
        int lock_fd;
        ~Handle()
        {
            sqlite3_close_v2(db);
            close(lock_fd);
        }
    } handle_;
    sqlite3 *db_;
    std::string path_;
    int64_t limit_;
    Statement add_, remove_, load_, lookup_, start_, finish_, forget_;
    bool in_transaction_ = false;
    bool failing_ = false;
    uint64_t started_ = 0;
};

bool make_dirs(const std::string &dir)
{
    for (std::size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        const std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

// A file name of the client id: letters, digits, '.', '-' and '_' kept.
std::string file_name_of(const std::string &name)
{
    std::string out;
    for (const char c : name)
        out += std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' ? c : '_';
    return out;
}

#endif

}  // namespace

std::unique_ptr<Store> memory_store(long command_ids) { return std::make_unique<MemoryStore>(command_ids); }

std::unique_ptr<Store> sqlite_store(const std::string &dir, const std::string &name, long command_ids,
                                    std::string &error)
{
#ifdef NIMBET_BRIDGE_WITH_SQLITE
    if (dir.empty()) {
        error = "no state directory: give state_dir (--state-dir), or outbox = \"memory\"";
        return nullptr;
    }
    if (!make_dirs(dir)) {
        error = "cannot make the state directory " + dir + ": " + std::strerror(errno);
        return nullptr;
    }
    const std::string path = dir + "/bridge-" + file_name_of(name) + ".sqlite";
    const int lock_fd = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_fd < 0) {
        error = "cannot open " + path + ".lock: " + std::strerror(errno);
        return nullptr;
    }
    if (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
        error = path + " is in use by another gateway with the client id " + name;
        close(lock_fd);
        return nullptr;
    }
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    char *message = nullptr;
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, kSchema, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        error = "cannot open the state file " + path + ": " +
                (message != nullptr ? message : db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_free(message);
        sqlite3_close_v2(db);
        close(lock_fd);
        return nullptr;
    }
    auto store = std::make_unique<SqliteStore>(db, lock_fd, path, command_ids);
    if (!store->ready()) {
        error = "cannot use the state file " + path + ": " + sqlite3_errmsg(db);
        return nullptr;
    }
    return store;
#else
    (void)dir;
    (void)name;
    (void)command_ids;
    error = "this build keeps no outbox on disk (it needs SQLite): set outbox = \"memory\"";
    return nullptr;
#endif
}

}  // namespace nimbet::bridge
