// SPDX-License-Identifier: MIT
// The gateway's store and outbox when the disk fails them: full disks, damaged files, crashes, forgotten ids.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "bridge_outbox.h"
#include "bridge_store.h"
#include "small_disk.h"

namespace nimbet::bridge {
namespace {

std::string temp_dir()
{
    char tmpl[] = "/tmp/nimbet-store-XXXXXX";
    return mkdtemp(tmpl);
}

struct Dir {
    std::string root = temp_dir();
    std::string path = root + "/state";
    ~Dir()
    {
        umount2(root.c_str(), MNT_DETACH);
        std::system(("rm -rf '" + root + "'").c_str());
    }
    std::unique_ptr<Store> open(long ids, long seconds, std::vector<std::string> *notes = nullptr)
    {
        std::string error;
        StoreFailure failure{};
        std::vector<std::string> n;
        auto store = sqlite_store(path, "gw", {ids, seconds}, error, failure, notes != nullptr ? *notes : n);
        EXPECT_NE(store, nullptr) << error;
        return store;
    }
    std::vector<std::string> files()
    {
        std::vector<std::string> out;
        if (DIR *d = opendir(path.c_str())) {
            while (const dirent *e = readdir(d))
                out.push_back(e->d_name);
            closedir(d);
        }
        return out;
    }
};

// Both stores keep exactly the newest `ids` command ids, none past its
// lifetime, and a forgotten id is new again.
TEST(BridgeStoreIds, KeepExactlyTheNewestIdsWithinTheirLifetime)
{
    Dir dir;
    std::unique_ptr<Store> stores[] = {memory_store({3, 100}), dir.open(3, 100)};
    for (auto &store : stores) {
        SCOPED_TRACE(store->where());
        for (const char *id : {"1", "2", "3", "4", "5"})
            ASSERT_TRUE(store->start(id, "h", 1000));
        CommandRecord r;
        EXPECT_FALSE(store->lookup("1", 1000, r));
        EXPECT_FALSE(store->lookup("2", 1000, r));
        for (const char *id : {"3", "4", "5"})
            EXPECT_TRUE(store->lookup(id, 1000, r)) << id;
        // A lifetime of 100 s: known up to its end, forgotten after.
        EXPECT_TRUE(store->lookup("5", 1100, r));
        EXPECT_FALSE(store->lookup("5", 1101, r));
        // Started again later, an old id counts from then, with its new command.
        ASSERT_TRUE(store->start("5", "other", 1200));
        ASSERT_TRUE(store->lookup("5", 1250, r));
        EXPECT_EQ(r.hash, "other");
        EXPECT_EQ(r.result, "");
        // Expired ones go when new ones come, whatever the count.
        ASSERT_TRUE(store->start("6", "h", 1201));
        EXPECT_FALSE(store->lookup("3", 1201, r));
        EXPECT_FALSE(store->lookup("4", 1201, r));
    }
}

// The id is on disk when start() returns: a gateway that dies right then
// (no destructor, no later commit) does not run the command again.
TEST(BridgeStoreIds, AnIdIsOnDiskBeforeItsCommandRuns)
{
    Dir dir;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string error;
        StoreFailure failure{};
        std::vector<std::string> notes;
        auto store = sqlite_store(dir.path, "gw", {10, 100}, error, failure, notes);
        _exit(store != nullptr && store->start("\"crash\"", "h", 1000) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    auto store = dir.open(10, 100);
    CommandRecord r;
    EXPECT_TRUE(store->lookup("\"crash\"", 1000, r));
}

// A store whose writes fail while `full` is set.
class FlakyStore : public Store {
public:
    bool full = false;
    int saves = 0;
    std::vector<int64_t> kept;
    std::vector<StoredMessage> load() override { return {}; }
    bool save(const std::vector<MessageRef> &added, const std::vector<int64_t> &removed, std::string &error) override
    {
        ++saves;
        if (full) {
            error = "database or disk is full";
            return false;
        }
        for (const MessageRef &m : added)
            kept.push_back(m.seq);
        for (const int64_t seq : removed)
            kept.erase(std::find(kept.begin(), kept.end(), seq));
        return true;
    }
    bool lookup(const std::string &, int64_t, CommandRecord &) override { return false; }
    bool start(const std::string &, const std::string &, int64_t) override { return !full; }
    void finish(const std::string &, const std::string &) override {}
    std::string where() const override { return "flaky"; }
    bool durable() const override { return true; }
};

// A failed write keeps every message, says so once, is tried again no
// sooner than the retry time, and when it goes through the store holds the
// whole queue (and nothing that left it meanwhile).
TEST(BridgeOutboxDurability, FailedWritesLoseNothingAndAreRetriedUntilTheyHold)
{
    FlakyStore store;
    Outbox box({100, 1 << 20, 10, 1000}, store);
    std::vector<std::pair<bool, std::string>> said;
    box.on_store = [&](bool durable, const std::string &why) { said.push_back({durable, why}); };
    box.push("t", "a");
    ASSERT_TRUE(box.sync(0));
    store.full = true;
    for (const char *p : {"b", "c", "d"})
        box.push("t", p);
    EXPECT_FALSE(box.sync(10));
    EXPECT_FALSE(box.sync(20));  // too soon: not tried
    EXPECT_EQ(store.saves, 2);
    box.handed(1);
    EXPECT_TRUE(box.confirmed(1));  // "a" leaves while the disk is full
    box.push("t", "e");
    EXPECT_FALSE(box.sync(1010));
    EXPECT_EQ(store.saves, 3);
    EXPECT_EQ(box.size(), 4u);
    EXPECT_EQ(box.unsaved(), 4u);
    EXPECT_FALSE(box.durable());
    store.full = false;
    EXPECT_FALSE(box.sync(1500));  // still within the retry time
    EXPECT_TRUE(box.sync(2010));
    EXPECT_EQ(box.unsaved(), 0u);
    EXPECT_TRUE(box.durable());
    EXPECT_EQ(box.store_failures(), 2u);
    EXPECT_EQ(store.kept, (std::vector<int64_t>{2, 3, 4, 5}));
    ASSERT_EQ(said.size(), 2u);
    EXPECT_FALSE(said[0].first);
    EXPECT_EQ(said[0].second, "database or disk is full");
    EXPECT_TRUE(said[1].first);
}

bool small_disk(Dir &dir, int kib) { return nimbet::test::small_disk(dir.root, kib); }
void fill(const std::string &path) { nimbet::test::fill(path); }

// A real full disk under SQLite: the write fails, nothing is lost, and once
// there is room the file holds every message, in order.
TEST(BridgeOutboxDurability, FullDiskThenRoomKeepsEveryMessageOnDisk)
{
    Dir dir;
    if (!small_disk(dir, 8192))
        GTEST_SKIP() << "no mount namespace with a tmpfs here";
    mkdir(dir.path.c_str(), 0700);
    const std::string payload(300, 'p');
    {
        auto store = dir.open(10, 100);
        ASSERT_NE(store, nullptr);
        Outbox box({100000, 64 << 20, 10, 1}, *store);
        for (int i = 0; i < 100; ++i)
            box.push("t", std::to_string(i) + payload);
        ASSERT_TRUE(box.sync(0));
        fill(dir.root + "/filler");
        for (int i = 100; i < 3000; ++i)
            box.push("t", std::to_string(i) + payload);
        EXPECT_FALSE(box.sync(10));
        EXPECT_GT(box.unsaved(), 0u);
        EXPECT_EQ(box.size(), 3000u);
        std::remove((dir.root + "/filler").c_str());
        EXPECT_TRUE(box.sync(20));
        EXPECT_EQ(box.unsaved(), 0u);
    }
    auto store = dir.open(10, 100);
    Outbox again({100000, 64 << 20, 10}, *store);
    ASSERT_EQ(again.size(), 3000u);
    for (int i = 0; i < 3000; ++i) {
        const OutMessage *m = again.next();
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->payload, std::to_string(i) + payload);
        again.handed(i + 1);
        ASSERT_TRUE(again.confirmed(i + 1));
    }
}

// A disk that is full from the start: the store cannot be had, and says
// that waiting may mend it.
TEST(BridgeOutboxDurability, FullDiskAtTheStartIsNamedAsPassing)
{
    Dir dir;
    if (!small_disk(dir, 256))
        GTEST_SKIP() << "no mount namespace with a tmpfs here";
    mkdir(dir.path.c_str(), 0700);
    fill(dir.root + "/filler");
    std::string error;
    StoreFailure failure = StoreFailure::Settings;
    std::vector<std::string> notes;
    EXPECT_EQ(sqlite_store(dir.path, "gw", {10, 100}, error, failure, notes), nullptr);
    EXPECT_EQ(failure, StoreFailure::Unavailable) << error;
    std::remove((dir.root + "/filler").c_str());
    EXPECT_NE(dir.open(10, 100), nullptr);
}

// Damage in the middle of the file: the file is moved aside under a name
// that says so, a fresh one takes its place with the messages that could
// still be read, and the count is told. A file that is no database at all
// goes the same way.
TEST(BridgeStoreDamage, DamagedFileIsMovedAsideAndWhatReadsIsKept)
{
    Dir dir;
    {
        auto store = dir.open(10, 100);
        Outbox box({100000, 64 << 20, 10}, *store);
        for (int i = 0; i < 3000; ++i)
            box.push("t", std::to_string(i) + std::string(200, 'x'));
        ASSERT_TRUE(box.sync(0));
    }
    const std::string file = dir.path + "/bridge-gw.sqlite";
    struct stat st{};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    {
        const int fd = ::open(file.c_str(), O_WRONLY);
        const std::string junk(4096 * 3, '\x5a');
        ASSERT_EQ(pwrite(fd, junk.data(), junk.size(), (st.st_size / 2) & ~off_t{4095}),
                  static_cast<ssize_t>(junk.size()));
        close(fd);
    }
    std::vector<std::string> notes;
    auto store = dir.open(10, 100, &notes);
    ASSERT_NE(store, nullptr);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("was damaged"), std::string::npos) << notes[0];
    Outbox box({100000, 64 << 20, 10}, *store);
    EXPECT_NE(notes[0].find(std::to_string(box.size()) + " messages saved"), std::string::npos) << notes[0];
    EXPECT_LT(box.size(), 3000u);
    bool aside = false;
    for (const std::string &f : dir.files())
        aside = aside || f.rfind("bridge-gw.sqlite.damaged-", 0) == 0;
    EXPECT_TRUE(aside);
    // The fresh file takes new messages after the saved ones.
    box.push("t", "new");
    EXPECT_TRUE(box.sync(0));
    store.reset();

    std::ofstream(file, std::ios::trunc) << std::string(8192, 'n');
    notes.clear();
    store = dir.open(10, 100, &notes);
    ASSERT_NE(store, nullptr);
    ASSERT_EQ(notes.size(), 1u) << "a file that is no database";
    EXPECT_NE(notes[0].find("0 messages saved"), std::string::npos) << notes[0];
}

}  // namespace
}  // namespace nimbet::bridge
