// SPDX-License-Identifier: MIT
// What the gateway keeps across restarts: in memory, or in an SQLite database in its state directory.
#include "bridge_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>

#ifdef NIMBET_BRIDGE_WITH_SQLITE
#include <sqlite3.h>
#endif

#include "bridge_log.h"

namespace nimbet::bridge {

std::string command_hash(const std::string &canonical)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (const char c : canonical) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    return hex;
}

namespace {

// Command ids with what they stood for, the oldest forgotten first, and
// none kept past its lifetime.
class CommandMemory {
public:
    explicit CommandMemory(CommandMemoryLimits limits) : limits_(limits) {}
    bool lookup(const std::string &id, int64_t now_s, CommandRecord &out) const
    {
        const auto it = records_.find(id);
        if (it == records_.end() || now_s - it->second.at > limits_.seconds)
            return false;
        out = it->second.record;
        return true;
    }
    void start(const std::string &id, const std::string &hash, int64_t now_s)
    {
        if (records_.erase(id) != 0)
            order_.erase(std::find(order_.begin(), order_.end(), id));
        while (!order_.empty() && (order_.size() >= static_cast<std::size_t>(limits_.ids) ||
                                   now_s - records_.at(order_.front()).at > limits_.seconds)) {
            records_.erase(order_.front());
            order_.pop_front();
        }
        records_.emplace(id, Entry{{{}, hash}, now_s});
        order_.push_back(id);
    }
    void finish(const std::string &id, const std::string &result)
    {
        const auto it = records_.find(id);
        if (it != records_.end())
            it->second.record.result = result;
    }

private:
    struct Entry {
        CommandRecord record;
        int64_t at;
    };
    CommandMemoryLimits limits_;
    std::map<std::string, Entry> records_;
    std::deque<std::string> order_;  // oldest first
};

class MemoryStore : public Store {
public:
    explicit MemoryStore(CommandMemoryLimits limits) : commands_(limits) {}
    std::vector<StoredMessage> load() override { return {}; }
    bool save(const std::vector<MessageRef> &, const std::vector<int64_t> &, std::string &) override { return true; }
    bool lookup(const std::string &id, int64_t now_s, CommandRecord &out) override
    {
        return commands_.lookup(id, now_s, out);
    }
    bool start(const std::string &id, const std::string &hash, int64_t now_s) override
    {
        commands_.start(id, hash, now_s);
        return true;
    }
    void finish(const std::string &id, const std::string &result) override { commands_.finish(id, result); }
    std::string where() const override { return "memory"; }
    bool durable() const override { return false; }

private:
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
    // Bound without a copy: the text outlives the step.
    Statement &bind_static(int i, const std::string &text)
    {
        sqlite3_bind_blob(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
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

// Columns that files of earlier versions lack; adding one that is there fails harmlessly.
constexpr const char *kNewColumns[] = {"ALTER TABLE commands ADD COLUMN hash TEXT",
                                       "ALTER TABLE commands ADD COLUMN at INTEGER NOT NULL DEFAULT 0"};

bool exec_sql(sqlite3 *db, const char *sql, std::string &error)
{
    char *message = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    if (rc != SQLITE_OK)
        error = message != nullptr ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    return rc == SQLITE_OK;
}

// WAL with synchronous=NORMAL: a committed transaction survives the
// process's death; after a power loss the last ones may be missing, never
// half there.
class SqliteStore : public Store {
public:
    SqliteStore(sqlite3 *db, int lock_fd, std::string path, CommandMemoryLimits limits)
        : handle_{db, lock_fd}, db_(db), path_(std::move(path)), limits_(limits),
          add_(db, "INSERT OR REPLACE INTO outbox (seq, topic, payload) VALUES (?, ?, ?)"),
          remove_(db, "DELETE FROM outbox WHERE seq BETWEEN ? AND ?"),
          load_(db, "SELECT seq, topic, payload FROM outbox ORDER BY seq"),
          lookup_(db, "SELECT result, hash, at FROM commands WHERE id = ?"),
          start_(db, "INSERT OR REPLACE INTO commands (id, result, hash, at) VALUES (?, NULL, ?, ?)"),
          finish_(db, "UPDATE commands SET result = ? WHERE id = ?"),
          forget_(db, "DELETE FROM commands WHERE rowid <= (SELECT max(rowid) FROM commands) - ? OR at < ?")
    {
    }
    bool ready() const
    {
        return add_.ok() && remove_.ok() && load_.ok() && lookup_.ok() && start_.ok() && finish_.ok() && forget_.ok();
    }

    std::vector<StoredMessage> load() override
    {
        std::vector<StoredMessage> out;
        while (load_.step() == SQLITE_ROW)
            out.push_back({load_.integer(0), load_.text(1), load_.text(2)});
        load_.reset();
        return out;
    }
    bool save(const std::vector<MessageRef> &added, const std::vector<int64_t> &removed, std::string &error) override
    {
        if (!exec_sql(db_, "BEGIN", error))
            return false;
        bool ok = true;
        for (const MessageRef &m : added)
            ok = ok && run(add_.bind(1, m.seq).bind_static(2, *m.topic).bind_static(3, *m.payload), error);
        // Messages leave mostly in order: runs of numbers go in one statement.
        std::vector<int64_t> gone(removed);
        std::sort(gone.begin(), gone.end());
        for (std::size_t i = 0; ok && i < gone.size();) {
            std::size_t j = i;
            while (j + 1 < gone.size() && gone[j + 1] == gone[j] + 1)
                ++j;
            ok = run(remove_.bind(1, gone[i]).bind(2, gone[j]), error);
            i = j + 1;
        }
        if (ok && exec_sql(db_, "COMMIT", error))
            return true;
        std::string ignored;
        if (sqlite3_get_autocommit(db_) == 0)
            exec_sql(db_, "ROLLBACK", ignored);
        return false;
    }
    bool lookup(const std::string &id, int64_t now_s, CommandRecord &out) override
    {
        lookup_.bind(1, id);
        const bool found = lookup_.step() == SQLITE_ROW && now_s - lookup_.integer(2) <= limits_.seconds;
        out = found ? CommandRecord{lookup_.is_null(0) ? std::string() : lookup_.text(0),
                                    lookup_.is_null(1) ? std::string() : lookup_.text(1)}
                    : CommandRecord{};
        lookup_.reset();
        return found;
    }
    bool start(const std::string &id, const std::string &hash, int64_t now_s) override
    {
        // Durable before the command runs: a restart must not run it again.
        std::string error;
        const bool ok = exec_sql(db_, "BEGIN", error) &&
                        run(forget_.bind(1, static_cast<int64_t>(limits_.ids) - 1).bind(2, now_s - limits_.seconds),
                            error) &&
                        run(start_.bind(1, id).bind(2, hash).bind(3, now_s), error) && exec_sql(db_, "COMMIT", error);
        if (!ok) {
            std::string ignored;
            if (sqlite3_get_autocommit(db_) == 0)
                exec_sql(db_, "ROLLBACK", ignored);
            log(Level::Error, "state file " + path_ + ": cannot remember command " + id + ": " + error);
        }
        return ok;
    }
    void finish(const std::string &id, const std::string &result) override
    {
        std::string error;
        if (!run(finish_.bind(1, result).bind(2, id), error))
            log(Level::Warning, "state file " + path_ + ": cannot remember the result of command " + id + ": " + error);
    }
    std::string where() const override { return path_; }
    bool durable() const override { return true; }

private:
    bool run(Statement &s, std::string &error)
    {
        const int rc = s.step();
        const bool ok = rc == SQLITE_DONE || rc == SQLITE_ROW;
        if (!ok)
            error = sqlite3_errmsg(db_);
        s.reset();
        return ok;
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
    CommandMemoryLimits limits_;
    Statement add_, remove_, load_, lookup_, start_, finish_, forget_;
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

// Errors of the disk rather than of the settings: they may pass.
bool disk_trouble(int err) { return err == ENOSPC || err == EDQUOT || err == EIO || err == EROFS; }

struct Opened {
    sqlite3 *db = nullptr;
    std::string error;
    bool damaged = false;  // the file is no database, or fails the quick check
};

// Opens the file, applies the schema and checks it.
Opened open_checked(const std::string &path)
{
    Opened o;
    int rc = sqlite3_open_v2(path.c_str(), &o.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        o.error = o.db != nullptr ? sqlite3_errmsg(o.db) : sqlite3_errstr(rc);
        o.damaged = rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB;
        return o;
    }
    std::string check = "ok";
    sqlite3_stmt *stmt = nullptr;
    rc = sqlite3_prepare_v2(o.db, "PRAGMA quick_check", -1, &stmt, nullptr);
    if (rc == SQLITE_OK && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        const unsigned char *t = sqlite3_column_text(stmt, 0);
        check = t != nullptr ? reinterpret_cast<const char *>(t) : "";
        rc = SQLITE_OK;
    }
    sqlite3_finalize(stmt);
    if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB || (rc == SQLITE_OK && check != "ok")) {
        o.error = rc == SQLITE_OK ? "quick check: " + check : sqlite3_errstr(rc);
        o.damaged = true;
        return o;
    }
    if (rc != SQLITE_OK || !exec_sql(o.db, kSchema, o.error)) {
        if (rc != SQLITE_OK)
            o.error = sqlite3_errmsg(o.db);
        const int ext = sqlite3_errcode(o.db);
        o.damaged = ext == SQLITE_CORRUPT || ext == SQLITE_NOTADB;
        return o;
    }
    std::string ignored;
    for (const char *sql : kNewColumns)
        exec_sql(o.db, sql, ignored);
    return o;
}

// The messages that still read from a damaged file, in order, until the
// first that does not.
std::vector<StoredMessage> salvage(sqlite3 *db)
{
    std::vector<StoredMessage> out;
    if (db == nullptr)
        return out;
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT seq, topic, payload FROM outbox ORDER BY seq", -1, &stmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            const auto *topic = static_cast<const char *>(sqlite3_column_blob(stmt, 1));
            const int topic_len = sqlite3_column_bytes(stmt, 1);
            const auto *payload = static_cast<const char *>(sqlite3_column_blob(stmt, 2));
            const int payload_len = sqlite3_column_bytes(stmt, 2);
            out.push_back({sqlite3_column_int64(stmt, 0),
                           topic != nullptr ? std::string(topic, static_cast<std::size_t>(topic_len)) : "",
                           payload != nullptr ? std::string(payload, static_cast<std::size_t>(payload_len)) : ""});
        }
    }
    sqlite3_finalize(stmt);
    return out;
}

std::string time_stamp()
{
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char s[32];
    std::strftime(s, sizeof s, "%Y%m%dT%H%M%SZ", &tm);
    return s;
}

#endif

}  // namespace

std::unique_ptr<Store> memory_store(CommandMemoryLimits limits) { return std::make_unique<MemoryStore>(limits); }

std::unique_ptr<Store> sqlite_store(const std::string &dir, const std::string &name, CommandMemoryLimits limits,
                                    std::string &error, StoreFailure &failure, std::vector<std::string> &notes)
{
    failure = StoreFailure::Settings;
#ifdef NIMBET_BRIDGE_WITH_SQLITE
    if (dir.empty()) {
        error = "no state directory: give state_dir (--state-dir), or outbox = \"memory\"";
        return nullptr;
    }
    if (!make_dirs(dir)) {
        if (disk_trouble(errno))
            failure = StoreFailure::Unavailable;
        error = "cannot make the state directory " + dir + ": " + std::strerror(errno);
        return nullptr;
    }
    const std::string path = dir + "/bridge-" + file_name_of(name) + ".sqlite";
    const int lock_fd = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_fd < 0) {
        if (disk_trouble(errno))
            failure = StoreFailure::Unavailable;
        error = "cannot open " + path + ".lock: " + std::strerror(errno);
        return nullptr;
    }
    if (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
        error = path + " is in use by another gateway with the client id " + name;
        close(lock_fd);
        return nullptr;
    }
    Opened o = open_checked(path);
    std::vector<StoredMessage> saved;
    if (o.damaged) {
        // Kept for a look, under a name that says what it is; what can
        // still be read goes on in a fresh file.
        saved = salvage(o.db);
        sqlite3_close_v2(o.db);
        const std::string aside = path + ".damaged-" + time_stamp();
        for (const char *suffix : {"", "-wal", "-shm"})
            std::rename((path + suffix).c_str(), (aside + suffix).c_str());
        notes.push_back("the state file " + path + " was damaged (" + o.error + "): moved aside as " + aside + "; " +
                        std::to_string(saved.size()) + " messages saved from it");
        o = open_checked(path);
    }
    if (!o.error.empty()) {
        error = "cannot open the state file " + path + ": " + o.error;
        failure = StoreFailure::Unavailable;
        sqlite3_close_v2(o.db);
        close(lock_fd);
        return nullptr;
    }
    auto store = std::make_unique<SqliteStore>(o.db, lock_fd, path, limits);
    if (!store->ready()) {
        error = "cannot use the state file " + path + ": " + sqlite3_errmsg(o.db);
        failure = StoreFailure::Unavailable;
        return nullptr;
    }
    if (!saved.empty()) {
        std::vector<MessageRef> refs;
        for (const StoredMessage &m : saved)
            refs.push_back({m.seq, &m.topic, &m.payload});
        std::string why;
        if (!store->save(refs, {}, why))
            notes.push_back("the " + std::to_string(saved.size()) +
                            " messages saved from the damaged file could not be written (" + why + "): lost");
    }
    return store;
#else
    (void)dir;
    (void)name;
    (void)limits;
    (void)notes;
    error = "this build keeps no outbox on disk (it needs SQLite): set outbox = \"memory\"";
    return nullptr;
#endif
}

}  // namespace nimbet::bridge
