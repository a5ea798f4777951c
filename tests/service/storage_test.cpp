// The SQLite store: the shared table (storage_table.cpp), and what only a file has: its
// mode, a file that is no database, the in-memory database.

#include <sys/stat.h>

#include <atomic>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "sqlite_storage.hpp"
#include "storage_table.hpp"
#include "support/test_server.hpp"

namespace velmora::service {

INSTANTIATE_TEST_SUITE_P(Storage, StorageTable, ::testing::Values(Backend::sqlite), backendName);

namespace {

using velmora::testing::TempDir;

TEST(SqliteStorage, UnopenableDatabaseThrows) {
    EXPECT_THROW(SqliteStorage("/nonexistent-dir/x/state.db"), StorageError);
    TempDir dir;
    {
        std::FILE* f = std::fopen((dir.path() + "/garbage.db").c_str(), "w");
        std::fputs("this is not a database, just some text long enough to be read as a header....", f);
        std::fclose(f);
    }
    EXPECT_THROW(SqliteStorage(dir.path() + "/garbage.db"), StorageError);
}

TEST(SqliteStorage, AnythingButAPostgresUriIsAFile) {
    EXPECT_TRUE(isPostgresUri("postgresql://u@h/db"));
    EXPECT_TRUE(isPostgresUri("postgres://h"));
    EXPECT_FALSE(isPostgresUri("postgresql:/x"));
    EXPECT_FALSE(isPostgresUri("./postgresql://x"));
    EXPECT_FALSE(isPostgresUri(":memory:"));
    EXPECT_TRUE(openStorage(":memory:")->healthy());
}

// Fetches and sends from several threads on the one connection of ":memory:".
TEST(SqliteStorage, ConcurrentFetchesOnOneConnectionNeitherLoseNorDuplicate) {
    SqliteStorage s(":memory:");
    constexpr int kSenders = 4, kPerSender = 200;
    std::atomic<int> sendersDone{0};
    std::mutex mutex;
    std::multiset<std::string> received;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            while (true) {
                const bool last = sendersDone == kSenders;
                auto got = s.takeMessages("r", [n = 0](const Message&) mutable { return n++ < 7; });
                std::lock_guard lock(mutex);
                for (auto& m : got) received.insert(m.text);
                if (last && got.empty()) return;
            }
        });
    }
    for (int t = 0; t < kSenders; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerSender; ++i) s.queueMessage("r", "s", std::to_string(t) + ":" + std::to_string(i));
            ++sendersDone;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(received.size(), std::size_t{kSenders * kPerSender});
    EXPECT_EQ(std::set<std::string>(received.begin(), received.end()).size(), received.size()) << "a duplicate";
}

TEST(SqliteStorage, NewDatabaseFilesAreTheOwnersOnly) {
    TempDir dir;
    const std::string path = dir.path() + "/state.db";
    const mode_t old = ::umask(022);  // as a shell leaves it; the service narrows it itself
    {
        SqliteStorage s(path);
        s.queueMessage("r", "s", "secret");
        for (const std::string& file : {path, path + "-wal", path + "-shm"}) {
            struct stat st {};
            ASSERT_EQ(::stat(file.c_str(), &st), 0) << file;
            EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
        }
    }
    ::umask(old);
}

TEST(OnlineWindow, TwiceTheRateInSecondsWithDefaultsAndCap) {
    EXPECT_EQ(onlineWindowMs(3), 6000);
    EXPECT_EQ(onlineWindowMs(0), 2 * kDefaultRefreshRate * 1000);
    EXPECT_EQ(onlineWindowMs(std::numeric_limits<std::int64_t>::min()), 2 * kDefaultRefreshRate * 1000);
    EXPECT_EQ(onlineWindowMs(std::numeric_limits<std::int64_t>::max()), 2 * kMaxRefreshRate * 1000);
}

}  // namespace
}  // namespace velmora::service
