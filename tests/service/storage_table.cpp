// What every storage implementation does alike: state that survives reopening, texts kept
// byte for byte, handover that neither loses nor duplicates under concurrent fetches from
// two connections, exact quotas under concurrent senders, presence and its expiry.

#include "storage_table.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include <libpq-fe.h>

#include "support/postgres_server.hpp"

namespace velmora::service {

void StorageTable::SetUp() {
    if (GetParam() == Backend::sqlite) {
        place_ = dir_.path() + "/state.db";
        return;
    }
    std::string why;
    auto* server = velmora::testing::PostgresServer::shared(&why);
    if (server == nullptr) GTEST_SKIP() << why;
    place_ = server->freshDatabase();
}

std::unique_ptr<Storage> StorageTable::open(Clock clock, StorageLimits limits) {
    return openStorage(place_, clock ? clock : Clock(systemClockMs), limits);
}

void StorageTable::execute(const std::string& sql) {
    if (GetParam() == Backend::sqlite) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(place_.c_str(), &db), SQLITE_OK);
        const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
        sqlite3_close(db);
        ASSERT_EQ(rc, SQLITE_OK) << sql;
        return;
    }
    std::unique_ptr<PGconn, decltype(&PQfinish)> c(PQconnectdb(place_.c_str()), PQfinish);
    std::unique_ptr<PGresult, decltype(&PQclear)> r(PQexec(c.get(), sql.c_str()), PQclear);
    ASSERT_EQ(PQresultStatus(r.get()), PGRES_COMMAND_OK) << PQerrorMessage(c.get());
}

std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::sqlite ? "SQLite" : "PostgreSQL";
}

namespace {

const auto all = [](const Message&) { return true; };

auto first(int n) {
    return [n, taken = 0](const Message&) mutable { return taken++ < n; };
}

TEST_P(StorageTable, EverythingSurvivesReopening) {
    {
        auto s = open();
        s->reportPresence("team", "app", "anna", "AWAY", 3);
        s->queueMessage("bob", "anna", "one");
        s->queueMessage("bob", "anna", "two");
        s->writeValue("team", "tag", "key", R"({"a":1})");
        // One message fetched before the restart stays fetched.
        s->takeMessages("bob", first(1));
    }
    auto s = open();
    const auto users = s->users("team", "app", false);
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].user, "anna");
    EXPECT_EQ(users[0].status, "AWAY");
    const auto messages = s->takeMessages("bob", all);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "two");
    EXPECT_EQ(s->readValue("team", "tag", "key"), R"({"a":1})");
    // Ids keep rising across the restart, even after the newest message was removed.
    EXPECT_GT(s->queueMessage("bob", "anna", "three"), messages[0].id);
}

TEST_P(StorageTable, TextsAreKeptByteForByteWhateverTheirLength) {
    auto s = open();
    const std::string odd("a\0b\xFF", 4);
    s->writeValue(odd, "", odd, odd);
    EXPECT_EQ(s->readValue(odd, "", odd), odd);
    EXPECT_EQ(s->readValue(std::string("a", 1), "", odd), std::nullopt);
    EXPECT_EQ(s->readValue("", "", ""), std::nullopt);
    s->writeValue("", "", "", "");
    EXPECT_EQ(s->readValue("", "", ""), "");
    // Keys that only differ in where one text ends and the next begins are different keys.
    s->writeValue("ab", "c", "", "1");
    s->writeValue("a", "bc", "", "2");
    EXPECT_EQ(s->readValue("ab", "c", ""), "1");
    EXPECT_EQ(s->readValue("a", "bc", ""), "2");
    // Names far longer than an index entry may be.
    const std::string longName(20000, 'n');
    s->writeValue(longName, longName, longName, "v");
    EXPECT_EQ(s->readValue(longName, longName, longName), "v");
    s->reportPresence(longName, longName, longName, "ON", 3);
    EXPECT_EQ(s->users(longName, longName, true).size(), 1u);
    s->queueMessage(longName, odd, odd);
    const auto got = s->takeMessages(longName, all);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].sender, odd);
    EXPECT_EQ(got[0].text, odd);
}

TEST_P(StorageTable, AcceptStopsTheHandoverAndKeepsTheRestInOrder) {
    auto s = open();
    for (int i = 0; i < 5; ++i) s->queueMessage("r", "s", std::to_string(i));
    auto firstTwo = s->takeMessages("r", [](const Message& m) { return m.text != "2"; });
    ASSERT_EQ(firstTwo.size(), 2u);
    EXPECT_EQ(s->queuedMessages("r"), 3u);
    auto rest = s->takeMessages("r", all);
    ASSERT_EQ(rest.size(), 3u);
    EXPECT_EQ(rest[0].text, "2");
    // A long queue is handed over in order past any internal batch.
    for (int i = 0; i < 300; ++i) s->queueMessage("long", "s", std::to_string(i));
    const auto part = s->takeMessages("long", first(250));
    ASSERT_EQ(part.size(), 250u);
    for (int i = 0; i < 250; ++i) EXPECT_EQ(part[i].text, std::to_string(i));
    EXPECT_TRUE(std::is_sorted(part.begin(), part.end(), [](auto& a, auto& b) { return a.id < b.id; }));
    EXPECT_EQ(s->takeMessages("long", all).size(), 50u);
    EXPECT_EQ(s->recipientUsage("long"), 0);
}

// Concurrent fetchers of one recipient on two storages of one database, while senders keep
// queueing: every message is handed to exactly one fetch.
TEST_P(StorageTable, ConcurrentFetchesThroughTwoStoragesNeitherLoseNorDuplicate) {
    auto a = open();
    auto b = open();
    constexpr int kSenders = 4, kPerSender = 150;
    std::atomic<int> sendersDone{0};
    std::mutex mutex;
    std::multiset<std::string> received;
    std::set<std::int64_t> ids;
    auto fetcher = [&](Storage& s) {
        while (true) {
            const bool last = sendersDone == kSenders;
            auto got = s.takeMessages("r", first(7));
            std::lock_guard lock(mutex);
            for (auto& m : got) {
                received.insert(m.text);
                ids.insert(m.id);
            }
            if (last && got.empty()) return;
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back(fetcher, std::ref(i % 2 ? *a : *b));
    for (int t = 0; t < kSenders; ++t) {
        threads.emplace_back([&, t] {
            Storage& s = t % 2 ? *a : *b;
            for (int i = 0; i < kPerSender; ++i) s.queueMessage("r", "s", std::to_string(t) + ":" + std::to_string(i));
            ++sendersDone;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(received.size(), std::size_t{kSenders * kPerSender});
    EXPECT_EQ(std::set<std::string>(received.begin(), received.end()).size(), received.size()) << "a duplicate";
    EXPECT_EQ(ids.size(), received.size()) << "two messages with one id";
    EXPECT_EQ(a->recipientUsage("r"), 0);
}

// Senders on two storages race for the last room under one recipient's quota and one
// team's: exactly as many changes are taken as fit, and the usage counts exactly them.
TEST_P(StorageTable, QuotasStayExactUnderConcurrentChangesThroughTwoStorages) {
    constexpr int kFit = 40;
    const StorageLimits limits{.recipientQuota = kFit * (kRecordOverhead + 2), .teamQuota = kFit * (kRecordOverhead + 4)};
    auto a = open({}, limits);
    auto b = open({}, limits);
    std::atomic<int> sent{0}, written{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            Storage& s = t % 2 ? *a : *b;
            for (int i = 0; i < 25; ++i) {
                try {
                    s.queueMessage("r", "s", "x");
                    ++sent;
                } catch (const RefusedError&) {
                }
                try {
                    // Each a new key: tag "g", a 2-byte key and a 1-byte value.
                    s.writeValue("t", "g", std::string{static_cast<char>('a' + t), static_cast<char>('a' + i)}, "v");
                    ++written;
                } catch (const RefusedError&) {
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(sent, kFit);
    EXPECT_EQ(a->queuedMessages("r"), std::size_t{kFit});
    EXPECT_EQ(b->recipientUsage("r"), kFit * (kRecordOverhead + 2));
    EXPECT_EQ(written, kFit);
    EXPECT_EQ(a->teamUsage("t"), kFit * (kRecordOverhead + 4));
}

TEST_P(StorageTable, RecipientQuotaCountsQueuedBytesAndFetchingFreesThem) {
    auto s = open({}, StorageLimits{.recipientQuota = 3 * (kRecordOverhead + 11)});
    for (int i = 0; i < 3; ++i) s->queueMessage("r", "s", "0123456789");
    EXPECT_EQ(s->recipientUsage("r"), 3 * (kRecordOverhead + 11));
    EXPECT_THROW(s->queueMessage("r", "s", ""), RefusedError);
    EXPECT_EQ(s->queuedMessages("r"), 3u);
    s->queueMessage("other", "s", "0123456789");  // per recipient
    s->takeMessages("r", first(1));
    EXPECT_EQ(s->recipientUsage("r"), 2 * (kRecordOverhead + 11));
    s->queueMessage("r", "s", "0123456789");
    EXPECT_THROW(s->queueMessage("r", "s", "x"), RefusedError);
}

TEST_P(StorageTable, TeamQuotaCountsValuesAndPresenceAndReplacingCountsTheDifference) {
    auto s = open({}, StorageLimits{.teamQuota = 1000});
    s->writeValue("t", "g", "k", std::string(500, 'v'));
    s->writeValue("t", "g", "k", std::string(600, 'v'));  // replaces: 600, not 1100
    EXPECT_EQ(s->teamUsage("t"), kRecordOverhead + 2 + 600);
    s->reportPresence("t", "app", "anna", std::string(200, 's'), 3);
    EXPECT_THROW(s->reportPresence("t", "app", "bob", std::string(200, 's'), 3), RefusedError);
    EXPECT_THROW(s->writeValue("t", "g", "k2", std::string(100, 'v')), RefusedError);
    s->reportPresence("t", "app", "anna", "ON", 3);  // a shorter status frees
    s->writeValue("t", "g", "k2", std::string(100, 'v'));
    s->writeValue("other", "g", "k", std::string(900, 'v'));  // per team
    EXPECT_EQ(s->readValue("t", "g", "k2"), std::string(100, 'v'));
}

TEST_P(StorageTable, UsageIsTheSameWhenOpenedAgain) {
    std::int64_t recipient = 0, team = 0;
    {
        auto s = open();
        s->queueMessage("r", "s", "text");
        s->writeValue("t", "g", "k", "1");
        s->reportPresence("t", "app", "u", "ON", 3);
        recipient = s->recipientUsage("r");
        team = s->teamUsage("t");
    }
    auto s = open();
    EXPECT_EQ(s->recipientUsage("r"), recipient);
    EXPECT_EQ(s->teamUsage("t"), team);
}

TEST_P(StorageTable, RefusedChangesRollBackAndReadsGoOn) {
    auto s = open();
    s->queueMessage("r", "s", "kept");
    s->writeValue("t", "g", "k", "1");
    s->refuseChanges();
    EXPECT_THROW(s->takeMessages("r", all), RefusedError);
    EXPECT_THROW(s->queueMessage("r", "s", "x"), RefusedError);
    EXPECT_THROW(s->writeValue("t", "g", "k", "2"), RefusedError);
    EXPECT_THROW(s->reportPresence("t", "app", "u", "ON", 3), RefusedError);
    EXPECT_EQ(s->queuedMessages("r"), 1u);
    EXPECT_EQ(s->readValue("t", "g", "k"), "1");
    EXPECT_TRUE(s->users("t", "app", false).empty());
}

TEST_P(StorageTable, PresenceListsTheMostRecentFirstAndExpires) {
    std::atomic<std::int64_t> now{1'700'000'000'000};
    const StorageLimits limits{.presenceExpiryMs = 60'000};
    auto s = open([&] { return now.load(); }, limits);
    auto other = open([&] { return now.load(); }, limits);  // a second service sees the same
    s->reportPresence("t", "app", "anna", "ON", 10);  // online for 20 s
    now += 1000;
    other->reportPresence("t", "app", "bob", "AWAY", 3600);
    const auto names = [](const std::vector<UserStatus>& list) {
        std::vector<std::string> out;
        for (const auto& u : list) out.push_back(u.user + "=" + u.status);
        return out;
    };
    EXPECT_EQ(names(s->users("t", "app", false)), (std::vector<std::string>{"bob=AWAY", "anna=ON"}));
    EXPECT_EQ(names(other->users("t", "app", false, [](const UserStatus&) { return false; })), std::vector<std::string>{});
    now += 30'000;  // anna's window is over, bob's is not
    EXPECT_EQ(names(other->users("t", "app", true)), (std::vector<std::string>{"bob=AWAY"}));
    EXPECT_EQ(names(other->users("t", "app", false)), (std::vector<std::string>{"bob=AWAY", "anna=ON"}));
    now += 60'000;  // and anna's expiry too: she leaves the list, and the database
    EXPECT_EQ(names(s->users("t", "app", false)), (std::vector<std::string>{"bob=AWAY"}));
    s->reportPresence("t", "app", "bob", "AWAY", 3600);
    EXPECT_EQ(s->teamUsage("t"), kRecordOverhead + 3 + 3 + 4);
}

TEST_P(StorageTable, HealthyAndCountsEveryWaitingMessage) {
    auto s = open();
    EXPECT_TRUE(s->healthy());
    EXPECT_EQ(s->messagesWaiting(), 0);
    s->queueMessage("a", "s", "1");
    s->queueMessage("b", "s", "2");
    s->queueMessage("b", "s", "3");
    EXPECT_EQ(s->messagesWaiting(), 3);
    s->takeMessages("b", first(1));
    EXPECT_EQ(open()->messagesWaiting(), 2);
}

TEST_P(StorageTable, ASchemaNewerThanThisBuildIsNotOpened) {
    open();
    execute("UPDATE schema_version SET version = " + std::to_string(kSchemaVersion + 1));
    try {
        open();
        FAIL() << "opened";
    } catch (const StorageError& e) {
        EXPECT_NE(std::string(e.what()).find("schema version"), std::string::npos) << e.what();
    }
    execute("UPDATE schema_version SET version = " + std::to_string(kSchemaVersion));
    EXPECT_NO_THROW(open());
}

}  // namespace
}  // namespace velmora::service
