// The storage on its own: what survives reopening the file, and message handover under
// concurrent fetches, from one connection and from two (as two processes would).

#include "storage.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "support/test_server.hpp"

namespace velmora::service {
namespace {

using velmora::testing::TempDir;

TEST(Storage, EverythingSurvivesReopening) {
    TempDir dir;
    const std::string path = dir.path() + "/state.db";
    {
        Storage s(path);
        s.reportPresence("team", "app", "anna", "AWAY", 3);
        s.queueMessage("bob", "anna", "one");
        s.queueMessage("bob", "anna", "two");
        s.writeValue("team", "tag", "key", R"({"a":1})");
        // One message fetched before the restart stays fetched.
        s.takeMessages("bob", [n = 0](const Message&) mutable { return n++ < 1; });
    }
    Storage s(path);
    const auto users = s.users("team", "app", false);
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].user, "anna");
    EXPECT_EQ(users[0].status, "AWAY");
    const auto messages = s.takeMessages("bob", [](const Message&) { return true; });
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "two");
    EXPECT_EQ(s.readValue("team", "tag", "key"), R"({"a":1})");
    // Ids keep rising across the restart, even after the newest message was removed.
    EXPECT_GT(s.queueMessage("bob", "anna", "three"), messages[0].id);
}

TEST(Storage, UnopenableDatabaseThrows) {
    EXPECT_THROW(Storage("/nonexistent-dir/x/state.db"), StorageError);
    TempDir dir;
    {
        std::FILE* f = std::fopen((dir.path() + "/garbage.db").c_str(), "w");
        std::fputs("this is not a database, just some text long enough to be read as a header....", f);
        std::fclose(f);
    }
    EXPECT_THROW(Storage(dir.path() + "/garbage.db"), StorageError);
}

TEST(Storage, TextsAreKeptByteForByte) {
    Storage s(":memory:");
    const std::string odd("a\0b\xFF", 4);
    s.writeValue(odd, "", odd, odd);
    EXPECT_EQ(s.readValue(odd, "", odd), odd);
    EXPECT_EQ(s.readValue(std::string("a", 1), "", odd), std::nullopt);
    EXPECT_EQ(s.readValue("", "", ""), std::nullopt);
    s.writeValue("", "", "", "");
    EXPECT_EQ(s.readValue("", "", ""), "");
}

TEST(Storage, AcceptStopsTheHandoverAndKeepsTheRest) {
    Storage s(":memory:");
    for (int i = 0; i < 5; ++i) s.queueMessage("r", "s", std::to_string(i));
    auto first = s.takeMessages("r", [](const Message& m) { return m.text != "2"; });
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(s.queuedMessages("r"), 3u);
    auto rest = s.takeMessages("r", [](const Message&) { return true; });
    ASSERT_EQ(rest.size(), 3u);
    EXPECT_EQ(rest[0].text, "2");
}

// Concurrent fetchers of one recipient, while senders keep queueing: every message is
// handed to exactly one fetch.
void concurrentHandover(Storage& senderSide, Storage& fetcherA, Storage& fetcherB) {
    constexpr int kSenders = 4, kPerSender = 200;
    std::atomic<int> sendersDone{0};
    std::mutex mutex;
    std::multiset<std::string> received;
    auto fetcher = [&](Storage& s) {
        while (true) {
            const bool last = sendersDone == kSenders;
            auto got = s.takeMessages("r", [n = 0](const Message&) mutable { return n++ < 7; });
            std::lock_guard lock(mutex);
            for (auto& m : got) received.insert(m.text);
            if (last && got.empty()) return;
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) threads.emplace_back(fetcher, std::ref(i == 0 ? fetcherA : fetcherB));
    for (int i = 0; i < 2; ++i) threads.emplace_back(fetcher, std::ref(i == 0 ? fetcherB : fetcherA));
    std::vector<std::thread> senders;
    for (int t = 0; t < kSenders; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kPerSender; ++i) senderSide.queueMessage("r", "s", std::to_string(t) + ":" + std::to_string(i));
            ++sendersDone;
        });
    }
    for (auto& t : senders) t.join();
    for (auto& t : threads) t.join();
    EXPECT_EQ(received.size(), std::size_t{kSenders * kPerSender});
    EXPECT_EQ(std::set<std::string>(received.begin(), received.end()).size(), received.size()) << "a duplicate";
}

TEST(Storage, ConcurrentFetchesOnOneConnectionNeitherLoseNorDuplicate) {
    Storage s(":memory:");
    concurrentHandover(s, s, s);
}

TEST(Storage, ConcurrentFetchesFromTwoConnectionsOnOneFileNeitherLoseNorDuplicate) {
    TempDir dir;
    Storage a(dir.path() + "/shared.db");
    Storage b(dir.path() + "/shared.db");
    concurrentHandover(a, a, b);
}

TEST(Storage, RecipientQuotaCountsQueuedBytesAndFetchingFreesThem) {
    Storage s(":memory:", {}, StorageLimits{.recipientQuota = 3 * (kRecordOverhead + 11)});
    for (int i = 0; i < 3; ++i) s.queueMessage("r", "s", "0123456789");
    EXPECT_EQ(s.recipientUsage("r"), 3 * (kRecordOverhead + 11));
    EXPECT_THROW(s.queueMessage("r", "s", ""), RefusedError);
    EXPECT_EQ(s.queuedMessages("r"), 3u);
    s.queueMessage("other", "s", "0123456789");  // per recipient
    s.takeMessages("r", [n = 0](const Message&) mutable { return n++ < 1; });
    EXPECT_EQ(s.recipientUsage("r"), 2 * (kRecordOverhead + 11));
    s.queueMessage("r", "s", "0123456789");
    EXPECT_THROW(s.queueMessage("r", "s", "x"), RefusedError);
}

TEST(Storage, TeamQuotaCountsValuesAndPresenceAndReplacingCountsTheDifference) {
    Storage s(":memory:", {}, StorageLimits{.teamQuota = 1000});
    s.writeValue("t", "g", "k", std::string(500, 'v'));
    s.writeValue("t", "g", "k", std::string(600, 'v'));  // replaces: 600, not 1100
    EXPECT_EQ(s.teamUsage("t"), kRecordOverhead + 2 + 600);
    s.reportPresence("t", "app", "anna", std::string(200, 's'), 3);
    EXPECT_THROW(s.reportPresence("t", "app", "bob", std::string(200, 's'), 3), RefusedError);
    EXPECT_THROW(s.writeValue("t", "g", "k2", std::string(100, 'v')), RefusedError);
    s.reportPresence("t", "app", "anna", "ON", 3);  // a shorter status frees
    s.writeValue("t", "g", "k2", std::string(100, 'v'));
    s.writeValue("other", "g", "k", std::string(900, 'v'));  // per team
    EXPECT_EQ(s.readValue("t", "g", "k2"), std::string(100, 'v'));
}

TEST(Storage, UsageIsRecountedFromTheDataWhenOpened) {
    TempDir dir;
    const std::string path = dir.path() + "/state.db";
    std::int64_t recipient = 0, team = 0;
    {
        Storage s(path);
        s.queueMessage("r", "s", "text");
        s.writeValue("t", "g", "k", "1");
        s.reportPresence("t", "app", "u", "ON", 3);
        recipient = s.recipientUsage("r");
        team = s.teamUsage("t");
    }
    Storage s(path);
    EXPECT_EQ(s.recipientUsage("r"), recipient);
    EXPECT_EQ(s.teamUsage("t"), team);
}

TEST(Storage, RefusedChangesRollBackAndReadsGoOn) {
    Storage s(":memory:");
    s.queueMessage("r", "s", "kept");
    s.writeValue("t", "g", "k", "1");
    s.refuseChanges();
    EXPECT_THROW(s.takeMessages("r", [](const Message&) { return true; }), RefusedError);
    EXPECT_THROW(s.queueMessage("r", "s", "x"), RefusedError);
    EXPECT_THROW(s.writeValue("t", "g", "k", "2"), RefusedError);
    EXPECT_EQ(s.queuedMessages("r"), 1u);
    EXPECT_EQ(s.readValue("t", "g", "k"), "1");
}

TEST(Storage, NewDatabaseFilesAreTheOwnersOnly) {
    TempDir dir;
    const std::string path = dir.path() + "/state.db";
    const mode_t old = ::umask(022);  // as a shell leaves it; the service narrows it itself
    {
        Storage s(path);
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
