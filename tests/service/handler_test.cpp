// The request handler, driven directly: what each operation answers, read back with the
// client library's own reply reading, and what every request it cannot serve gets.

#include "handler.hpp"
#include "sqlite_storage.hpp"

#include <random>

#include <gtest/gtest.h>

#include "wire/reply.hpp"

namespace velmora::service {
namespace {

using nlohmann::json;
const std::string S = "\xC2\xA7";  // the record separator

class HandlerTest : public ::testing::Test {
protected:
    SqliteStorage storage{":memory:"};
    Handler handler{storage};

    HttpReply call(std::string_view op, const json& body) { return handler.handle(op, body.dump()); }

    // What the client's readMapReply makes of the reply.
    StringMap map(std::string_view op, const json& body, std::string_view defaultKey = "") {
        const HttpReply reply = call(op, body);
        EXPECT_EQ(reply.status, 200) << reply.body;
        auto decoded = detail::readMapReply(reply.body, defaultKey);
        EXPECT_TRUE(decoded.has_value()) << reply.body;
        return decoded.value_or(StringMap{});
    }
    std::optional<bool> flag(std::string_view op, const json& body) {
        const HttpReply reply = call(op, body);
        EXPECT_EQ(reply.status, 200) << reply.body;
        return detail::readBoolReply(reply.body);
    }

    std::optional<bool> send(const std::string& from, const std::string& to, const std::string& text) {
        return flag("sendMessage", {{"destinatario", to}, {"mittente", from}, {"messaggio", text}});
    }
    StringMap receive(const std::string& to) { return map("receiveMessage", {{"destinatario", to}}); }
    std::optional<bool> write(const std::string& key, const json& value) {
        return flag("write", {{"gruppo", "t"}, {"sottogruppo", "g"}, {"chiave", key}, {"valore", value}});
    }
    StringMap read(const std::string& key) {
        return map("read", {{"gruppo", "t"}, {"sottogruppo", "g"}, {"chiave", key}}, key);
    }
};

// ---- requests the service cannot serve --------------------------------------------------

struct BadCase {
    const char* name;
    std::string op;
    std::string body;
};

class BadRequest : public HandlerTest, public ::testing::WithParamInterface<BadCase> {};

const std::string kRefresh =
    R"({"gruppo":"t","codiceApp":"a","refreshRate":3,"userName":"u","status":"ON","returnList":true,"onlyOnlineUsers":false})";

std::string withMember(const std::string& body, const std::string& name, const json& value) {
    json j = json::parse(body);
    if (value.is_discarded()) {
        j.erase(name);
    } else {
        j[name] = value;
    }
    return j.dump();
}
const json kAbsent = json(json::value_t::discarded);

TEST_P(BadRequest, Is500WithMessageAndNoD) {
    const auto& c = GetParam();
    const HttpReply reply = handler.handle(c.op, c.body);
    EXPECT_EQ(reply.status, 500);
    const json body = json::parse(reply.body, nullptr, false);
    ASSERT_TRUE(body.is_object()) << reply.body;
    EXPECT_FALSE(body.contains("d")) << reply.body;
    ASSERT_TRUE(body.contains("Message") && body["Message"].is_string()) << reply.body;
    EXPECT_FALSE(body["Message"].get<std::string>().empty());
    // The client reads such a reply as no result at all.
    EXPECT_FALSE(detail::readBoolReply(reply.body).has_value());
    EXPECT_FALSE(detail::readMapReply(reply.body, "").has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadRequest,
    ::testing::Values(
        BadCase{"unknown_operation", "deleteEverything", "{}"},
        BadCase{"empty_operation", "", "{}"},
        BadCase{"operation_case_differs", "SendMessage", R"({"destinatario":"b","mittente":"a","messaggio":"x"})"},
        BadCase{"empty_body", "read", ""},
        BadCase{"not_json", "read", "<html>hello</html>"},
        BadCase{"truncated_json", "read", R"({"gruppo":"t")"},
        BadCase{"top_level_array", "read", R"(["t","g","k"])"},
        BadCase{"top_level_string", "receiveMessage", R"("bob")"},
        BadCase{"top_level_null", "receiveMessage", "null"},
        BadCase{"invalid_utf8_in_text", "receiveMessage", "{\"destinatario\":\"b\xFF\"}"},
        BadCase{"lone_surrogate", "receiveMessage", R"({"destinatario":"\ud800"})"},
        BadCase{"send_missing_text", "sendMessage", R"({"destinatario":"b","mittente":"a"})"},
        BadCase{"send_text_not_string", "sendMessage", R"({"destinatario":"b","mittente":"a","messaggio":5})"},
        BadCase{"receive_recipient_null", "receiveMessage", R"({"destinatario":null})"},
        BadCase{"member_names_are_case_sensitive", "receiveMessage", R"({"Destinatario":"b"})"},
        BadCase{"write_missing_value", "write", R"({"gruppo":"t","sottogruppo":"g","chiave":"k"})"},
        BadCase{"read_key_number", "read", R"({"gruppo":"t","sottogruppo":"g","chiave":1})"},
        BadCase{"refresh_missing_user", "refreshStatus", withMember(kRefresh, "userName", kAbsent)},
        BadCase{"refresh_rate_as_text", "refreshStatus", withMember(kRefresh, "refreshRate", "3")},
        BadCase{"refresh_rate_fraction", "refreshStatus", withMember(kRefresh, "refreshRate", 3.5)},
        BadCase{"refresh_rate_past_int64", "refreshStatus",
                withMember(kRefresh, "refreshRate", std::uint64_t{1} << 63)},
        BadCase{"return_list_as_number", "refreshStatus", withMember(kRefresh, "returnList", 1)},
        BadCase{"online_only_as_text", "refreshStatus", withMember(kRefresh, "onlyOnlineUsers", "true")},
        // A user that could never be listed as a record key is not recorded.
        BadCase{"user_name_with_bar", "refreshStatus", withMember(kRefresh, "userName", "a|b")},
        BadCase{"status_with_section_sign", "refreshStatus", withMember(kRefresh, "status", "on" + S)},
        BadCase{"nested_too_deep", "write",
                R"({"gruppo":"t","sottogruppo":"g","chiave":"k","valore":)" + std::string(2000, '[') +
                    std::string(2000, ']') + "}"},
        BadCase{"body_too_large", "write",
                R"({"gruppo":"t","sottogruppo":"g","chiave":"k","valore":")" + std::string(kMaxRequestBody, 'x') +
                    "\"}"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HandlerTest, RefusedRequestsChangeNothing) {
    handler.handle("sendMessage", R"({"destinatario":"b","mittente":"a","messaggio":5})");
    handler.handle("refreshStatus", withMember(kRefresh, "userName", "x|y"));
    EXPECT_EQ(storage.queuedMessages("b"), 0u);
    EXPECT_TRUE(storage.users("t", "a", false).empty());
}

TEST_F(HandlerTest, BytesAfterANulByteAreNotIgnored) {
    const std::string body = R"({"gruppo":"t","sottogruppo":"g","chiave":"k","valore":1})";
    for (const std::string& hostile : {body + std::string(1, '\0') + "{\"x\":1}", body + std::string(1, '\0'),
                                       std::string(1, '\0') + body}) {
        const HttpReply reply = handler.handle("write", hostile);
        EXPECT_EQ(reply.status, 500);
        EXPECT_NE(reply.body.find("NUL"), std::string::npos) << reply.body;
    }
    EXPECT_TRUE(read("k").empty());
    // An escaped NUL inside a string is JSON and stays accepted.
    EXPECT_EQ(write("k", std::string("a\0b", 3)), true);
}

TEST_F(HandlerTest, QuotaRefusalsAre500WithTheReason) {
    SqliteStorage small(":memory:", {}, StorageLimits{.recipientQuota = 1000, .teamQuota = 1000});
    Handler h(small);
    const json message{{"destinatario", "r"}, {"mittente", "s"}, {"messaggio", std::string(800, 'm')}};
    EXPECT_EQ(h.handle("sendMessage", message.dump()).body, R"({"d":true})");
    const HttpReply full = h.handle("sendMessage", message.dump());
    EXPECT_EQ(full.status, 500);
    EXPECT_NE(full.body.find("queue is full"), std::string::npos) << full.body;
    const json value{{"gruppo", "t"}, {"sottogruppo", "g"}, {"chiave", "k"}, {"valore", std::string(2000, 'v')}};
    const HttpReply teamFull = h.handle("write", value.dump());
    EXPECT_EQ(teamFull.status, 500);
    EXPECT_NE(teamFull.body.find("team's data is full"), std::string::npos) << teamFull.body;
    // Fetching frees the queue.
    EXPECT_EQ(h.handle("receiveMessage", R"({"destinatario":"r"})").status, 200);
    EXPECT_EQ(h.handle("sendMessage", message.dump()).body, R"({"d":true})");
}

TEST_F(HandlerTest, ValuesNestedAsDeepAsTheLibrarySendsAreAccepted) {
    json value = 1;
    for (int i = 0; i < 600; ++i) value = json::array({value});
    EXPECT_EQ(write("deep", value), true);
    EXPECT_EQ(read("deep").at("deep"), value.dump());
}

TEST_F(HandlerTest, ExtraMembersAreIgnored) {
    EXPECT_EQ(flag("sendMessage", {{"destinatario", "b"}, {"mittente", "a"}, {"messaggio", "hi"}, {"x", 1}}), true);
}

// ---- store ----------------------------------------------------------------------------

struct ValueCase {
    const char* name;
    json value;
    std::string read;  // what readSync shows under the requested key
};

class StoreValue : public HandlerTest, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(StoreValue, ReadsBackAsBareValue) {
    const auto& c = GetParam();
    ASSERT_EQ(write("k", c.value), true);
    EXPECT_EQ(read("k"), (StringMap{{"k", c.read}}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, StoreValue,
    ::testing::Values(ValueCase{"string_as_its_text", "hello", "hello"},
                      ValueCase{"digit_text_stays_text", "5", "5"},
                      ValueCase{"number", 5, "5"},
                      ValueCase{"negative_float", -2.5, "-2.5"},
                      ValueCase{"boolean", true, "true"},
                      ValueCase{"null", nullptr, "null"},
                      ValueCase{"array_compact", json::array({1, "a", nullptr}), R"([1,"a",null])"},
                      ValueCase{"object_compact", json{{"a", json{{"b", 1}}}}, R"({"a":{"b":1}})"},
                      ValueCase{"bar_travels_as_tilde", "a|b", "a|b"},
                      ValueCase{"bar_in_object", json{{"x", "p|q"}}, R"({"x":"p|q"})"},
                      // The client's quote removal would strip these; the service protects them.
                      ValueCase{"quoted_text", "\"hi\"", "\"hi\""},
                      ValueCase{"two_quotes", "\"\"", "\"\""},
                      ValueCase{"one_quote", "\"", "\""},
                      ValueCase{"string_array", json::array({"a", "b"}), R"(["a","b"])"},
                      ValueCase{"quote_then_combining_mark", "\"\xCC\x81x\"", "\"\xCC\x81x\""},
                      ValueCase{"non_ascii", "gr\xC3\xBC\xC3\x9F", "gr\xC3\xBC\xC3\x9F"},
                      ValueCase{"control_characters", std::string("a\nb\tc\x01", 6), std::string("a\nb\tc\x01", 6)},
                      ValueCase{"nul_inside", std::string("a\0b", 3), std::string("a\0b", 3)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HandlerTest, ReadOfNothingStoredIsEmptyText) {
    EXPECT_EQ(call("read", {{"gruppo", "t"}, {"sottogruppo", "g"}, {"chiave", "absent"}}).body, R"({"d":""})");
    EXPECT_TRUE(read("absent").empty());
}

TEST_F(HandlerTest, WriteReplacesAndAddressesByAllThreeTexts) {
    ASSERT_EQ(write("k", 1), true);
    ASSERT_EQ(write("k", "two"), true);
    EXPECT_EQ(read("k").at("k"), "two");
    EXPECT_EQ(flag("write", {{"gruppo", "t2"}, {"sottogruppo", "g"}, {"chiave", "k"}, {"valore", 3}}), true);
    EXPECT_EQ(flag("write", {{"gruppo", "t"}, {"sottogruppo", "g2"}, {"chiave", "k"}, {"valore", 4}}), true);
    EXPECT_EQ(read("k").at("k"), "two");
    EXPECT_EQ(map("read", {{"gruppo", "t2"}, {"sottogruppo", "g"}, {"chiave", "k"}}, "k").at("k"), "3");
}

TEST_F(HandlerTest, ValueThatCannotTravelIsRefusedAndNothingStored) {
    ASSERT_EQ(write("k", "before"), true);
    EXPECT_EQ(write("k", "a" + S + "b"), false);
    EXPECT_EQ(write("k", json{{"x", S}}), false);
    EXPECT_EQ(read("k").at("k"), "before");
}

// ---- messages -------------------------------------------------------------------------

TEST_F(HandlerTest, MessagesAreHandedOverOnceWithSenderAndOrderInTheKey) {
    ASSERT_EQ(send("anna", "bob", "first"), true);
    ASSERT_EQ(send("carl", "bob", "second|with bar"), true);
    ASSERT_EQ(send("anna", "bob", "first"), true);  // the same text again is a new message
    ASSERT_EQ(send("anna", "dora", "not for bob"), true);
    const StringMap got = receive("bob");
    EXPECT_EQ(got, (StringMap{{"anna#1", "first"}, {"carl#2", "second|with bar"}, {"anna#3", "first"}}));
    EXPECT_TRUE(receive("bob").empty());
    EXPECT_EQ(receive("dora"), (StringMap{{"anna#4", "not for bob"}}));
}

TEST_F(HandlerTest, MessageKeysStayUniqueWhateverTheSendersAreCalled) {
    // Senders that look like keys of other messages: the id after the last "#" decides.
    ASSERT_EQ(send("a#2", "r", "x"), true);
    ASSERT_EQ(send("a", "r", "y"), true);
    ASSERT_EQ(send("", "r", "z"), true);
    ASSERT_EQ(send("\"q", "r", "w\""), true);  // would be stripped as quotes without protection
    EXPECT_EQ(receive("r"), (StringMap{{"a#2#1", "x"}, {"a#2", "y"}, {"#3", "z"}, {"\"q#4", "w\""}}));
}

TEST_F(HandlerTest, MessageThatCannotTravelIsRefusedAndNothingQueued) {
    EXPECT_EQ(send("a", "b", "x" + S + "y"), false);
    EXPECT_EQ(send("a|z", "b", "x"), false);
    EXPECT_EQ(send("a" + S, "b", "x"), false);
    EXPECT_EQ(send("a", "b", std::string(kMaxMessagesReply, 'x')), false);
    EXPECT_EQ(storage.queuedMessages("b"), 0u);
    // A recipient is never sent back in a record, so it may hold anything.
    EXPECT_EQ(send("a", "b|" + S, "x"), true);
    EXPECT_EQ(receive("b|" + S).size(), 1u);
}

TEST_F(HandlerTest, LongQueueIsDeliveredInBoundedRepliesWithoutLoss) {
    // Texts full of characters that JSON escapes six-fold, so the bound must count escapes.
    std::mt19937 random(7);
    std::vector<std::string> sent;
    for (int i = 0; i < 300; ++i) {
        std::string text(1 + random() % 2000, '\x01');
        text += std::to_string(i);
        if (i % 7 == 0) text = std::string(9000, '"') + std::to_string(i);
        ASSERT_EQ(send("s", "r", text), true);
        sent.push_back(text);
    }
    ASSERT_EQ(send("s", "r", std::string(kMaxMessagesReply / 6 - 64, '\x02')), true);
    sent.push_back(std::string(kMaxMessagesReply / 6 - 64, '\x02'));

    std::vector<std::string> received;
    int fetches = 0;
    for (; fetches < 1000; ++fetches) {
        const HttpReply reply = call("receiveMessage", {{"destinatario", "r"}});
        ASSERT_EQ(reply.status, 200);
        EXPECT_LE(reply.body.size(), kMaxMessagesReply);
        const StringMap got = detail::readMapReply(reply.body, "").value();
        if (got.empty()) break;
        std::map<std::int64_t, std::string> ordered;
        for (const auto& [key, text] : got) ordered[std::stoll(key.substr(key.rfind('#') + 1))] = text;
        for (auto& [id, text] : ordered) received.push_back(text);
    }
    EXPECT_GT(fetches, 5);
    EXPECT_EQ(received, sent);
}

TEST_F(HandlerTest, LargestAcceptedMessageIsDeliverable) {
    // Find the largest text the service accepts; it must then come back in one reply.
    std::size_t low = 0, high = kMaxMessagesReply;
    while (low + 1 < high) {
        const std::size_t mid = (low + high) / 2;
        if (send("s", "probe", std::string(mid, '\\')) == true) {
            low = mid;
        } else {
            high = mid;
        }
        receive("probe");
    }
    ASSERT_GT(low, 30000u);  // a backslash doubles when escaped
    ASSERT_EQ(send("s", "r", std::string(low, '\\')), true);
    const HttpReply reply = call("receiveMessage", {{"destinatario", "r"}});
    EXPECT_LE(reply.body.size(), kMaxMessagesReply);
    EXPECT_EQ(detail::readMapReply(reply.body, "").value().size(), 1u);
}

// ---- presence -------------------------------------------------------------------------

class PresenceTest : public ::testing::Test {
protected:
    std::int64_t now = 1'000'000'000'000;
    SqliteStorage storage{":memory:", [this] { return now; }};
    Handler handler{storage};

    StringMap refresh(const std::string& user, std::int64_t rate, bool list = true, bool online = false,
                      const std::string& status = "ON", const std::string& app = "app") {
        const json body{{"gruppo", "team"}, {"codiceApp", app},    {"refreshRate", rate},        {"userName", user},
                        {"status", status}, {"returnList", list}, {"onlyOnlineUsers", online}};
        const HttpReply reply = handler.handle("refreshStatus", body.dump());
        EXPECT_EQ(reply.status, 200) << reply.body;
        return detail::readMapReply(reply.body, "").value_or(StringMap{{"unreadable", reply.body}});
    }
};

TEST_F(PresenceTest, ListsTheTeamsUsersWithTheirLastStatus) {
    EXPECT_EQ(refresh("anna", 3, false), StringMap{});
    refresh("bob", 3, false, false, "BUSY|on call");
    refresh("anna", 3, false, false, "AWAY");
    refresh("other-app-user", 3, false, false, "ON", "other-app");
    EXPECT_EQ(refresh("carl", 3), (StringMap{{"anna", "AWAY"}, {"bob", "BUSY|on call"}, {"carl", "ON"}}));
}

TEST_F(PresenceTest, OnlineMeansSeenWithinTwiceTheUsersOwnRefreshRate) {
    refresh("fast", 2, false);     // online for 4 s
    refresh("slow", 60, false);    // online for 120 s
    refresh("unset", 0, false);    // no rate: counts as 30 s, online for 60 s
    refresh("negative", -5, false);
    now += 4000;
    EXPECT_EQ(refresh("me", 1, true, true),
              (StringMap{{"fast", "ON"}, {"slow", "ON"}, {"unset", "ON"}, {"negative", "ON"}, {"me", "ON"}}));
    now += 1;
    EXPECT_EQ(refresh("me", 1, true, true), (StringMap{{"slow", "ON"}, {"unset", "ON"}, {"negative", "ON"}, {"me", "ON"}}));
    now += 60'000;
    EXPECT_EQ(refresh("me", 1, true, true), (StringMap{{"slow", "ON"}, {"me", "ON"}}));
    // Without the filter everyone ever seen is listed.
    EXPECT_EQ(refresh("me", 1, true, false).size(), 5u);
    // A new report brings a user back.
    refresh("fast", 2, false, false, "BACK");
    EXPECT_EQ(refresh("me", 1, true, true).at("fast"), "BACK");
}

TEST_F(PresenceTest, HugeRefreshRateIsCappedAtADay) {
    refresh("forever", std::numeric_limits<std::int64_t>::max(), false);
    now += 2 * kMaxRefreshRate * 1000;
    EXPECT_EQ(refresh("me", 1, true, true).count("forever"), 1u);
    now += 1;
    EXPECT_EQ(refresh("me", 1, true, true).count("forever"), 0u);
}

TEST_F(PresenceTest, ReportsThatWouldPoisonTheListAreRefused) {
    auto report = [&](const std::string& user, const std::string& status) {
        const json body{{"gruppo", "team"}, {"codiceApp", "app"}, {"refreshRate", 86400}, {"userName", user},
                        {"status", status},  {"returnList", false}, {"onlyOnlineUsers", false}};
        return handler.handle("refreshStatus", body.dump());
    };
    EXPECT_EQ(report("u", std::string(kMaxStatus, 's')).status, 200);
    const HttpReply longStatus = report("v", std::string(kMaxStatus + 1, 's'));
    EXPECT_EQ(longStatus.status, 500);
    EXPECT_NE(longStatus.body.find("status longer than"), std::string::npos) << longStatus.body;
    EXPECT_EQ(report(std::string(kMaxUserName, 'n'), "ON").status, 200);
    EXPECT_EQ(report(std::string(kMaxUserName + 1, 'n'), "ON").status, 500);
    EXPECT_EQ(refresh("me", 3).size(), 3u);  // the refused ones were not recorded
}

TEST_F(PresenceTest, ListReplyIsBoundedAndKeepsTheMostRecentlySeen) {
    // Statuses JSON writes six-fold, so the bound must count escapes: 200 such users would
    // make a 1.2 MiB list.
    const std::string status(kMaxStatus, '\x01');
    for (int i = 0; i < 200; ++i) {
        refresh("user" + std::to_string(1000 + i), 86400, false, false, status);
        now += 1000;
    }
    const json body{{"gruppo", "team"}, {"codiceApp", "app"}, {"refreshRate", 3}, {"userName", "zz-me"},
                    {"status", "ON"},   {"returnList", true}, {"onlyOnlineUsers", false}};
    const HttpReply reply = handler.handle("refreshStatus", body.dump());
    ASSERT_EQ(reply.status, 200);
    EXPECT_LE(reply.body.size(), kMaxListReply);
    const StringMap listed = detail::readMapReply(reply.body, "").value();
    EXPECT_GT(listed.size(), 100u);
    EXPECT_LT(listed.size(), 200u);
    EXPECT_EQ(listed.count("zz-me"), 1u);     // the caller, seen last
    EXPECT_EQ(listed.count("user1199"), 1u);  // the most recent others
    EXPECT_EQ(listed.count("user1000"), 0u);  // the oldest left out
}

TEST_F(PresenceTest, UsersWhoStoppedReportingLeaveTheListAfterTheExpiry) {
    refresh("gone", 3, false);   // online for 6 s
    refresh("daily", 86400, false);  // online for two days
    now += 6000 + StorageLimits{}.presenceExpiryMs;
    EXPECT_EQ(refresh("me", 3, true, false), (StringMap{{"gone", "ON"}, {"daily", "ON"}, {"me", "ON"}}));
    now += 1;
    EXPECT_EQ(refresh("me", 3, true, false), (StringMap{{"daily", "ON"}, {"me", "ON"}}));
    // Removed from the database too, and no longer counted against the team's quota.
    now += 2 * 86400 * 1000 + StorageLimits{}.presenceExpiryMs + 1;
    EXPECT_EQ(refresh("me", 3, true, false), (StringMap{{"me", "ON"}}));
    EXPECT_EQ(storage.teamUsage("team"), static_cast<std::int64_t>(sizeof "app" - 1 + 2 + 2) + kRecordOverhead);
}

TEST_F(PresenceTest, NamesThatLookLikeQuotesSurvive) {
    refresh("\"anna", 3, false, false, "ON\"");
    EXPECT_EQ(refresh("\"anna", 3, true, false, "ON\""), (StringMap{{"\"anna", "ON\""}}));
}

// ---- the encoding helpers -------------------------------------------------------------

TEST(ProtectFromQuoteRemoval, ClientGetsTheTextBack) {
    for (const std::string text : {"", "\"", "\"\"", "\"a\"", "a\"", "\"a", "\"\xCC\x81\"", "plain", "\"\"\"\""}) {
        EXPECT_EQ(detail::removeQuotes(protectFromQuoteRemoval(text)), text) << text;
    }
}

TEST(JsonEscapedSize, MatchesTheJsonWriter) {
    std::string all;
    for (int c = 1; c < 256; ++c) all.push_back(static_cast<char>(c));
    all += "\xC2\xA7 \xE2\x82\xAC";
    for (std::size_t i = 0; i < all.size(); ++i) {
        std::string one = all.substr(i, 1);
        const json j = json(one);
        const std::string dumped = j.dump(-1, ' ', false, json::error_handler_t::replace);
        if (static_cast<unsigned char>(one[0]) < 0x80) {
            EXPECT_EQ(jsonEscapedSize(one), dumped.size() - 2) << i;
        }
    }
    const std::string utf8 = "a\"b\\c\n\x01\xC2\xA7\xE2\x82\xAC";
    EXPECT_EQ(jsonEscapedSize(utf8), json(utf8).dump().size() - 2);
}

}  // namespace
}  // namespace velmora::service

namespace velmora::service {
namespace {

// Mutated requests: whatever arrives, the reply is a JSON object, either served ({"d"})
// or refused (500 with "Message"), and the handler keeps working.
TEST(HandlerFuzz, MutatedRequestsAlwaysGetAWellFormedReply) {
    SqliteStorage storage(":memory:");
    Handler handler(storage);
    const std::vector<std::pair<std::string, std::string>> seeds{
        {"refreshStatus", kRefresh},
        {"sendMessage", R"({"destinatario":"b","mittente":"a","messaggio":"hi|there"})"},
        {"receiveMessage", R"({"destinatario":"b"})"},
        {"write", R"({"gruppo":"t","sottogruppo":"g","chiave":"k","valore":{"a":[1,2.5,null,"x"]}})"},
        {"read", R"({"gruppo":"t","sottogruppo":"g","chiave":"k"})"}};
    const std::string alphabet = "{}[]\",:\\|~0123456789.eE-+tfnul \xC2\xA7\xFF\x00";
    std::mt19937 random(12345);
    for (int i = 0; i < 20000; ++i) {
        const auto& [op, seed] = seeds[random() % seeds.size()];
        std::string body = seed;
        for (int edits = 1 + random() % 4; edits > 0 && !body.empty(); --edits) {
            const std::size_t at = random() % body.size();
            switch (random() % 4) {
                case 0: body[at] = alphabet[random() % alphabet.size()]; break;
                case 1: body.insert(at, 1, alphabet[random() % alphabet.size()]); break;
                case 2: body.erase(at, 1 + random() % 3); break;
                default: body.resize(at); break;
            }
        }
        const HttpReply reply = handler.handle(op, body);
        const json parsed = json::parse(reply.body, nullptr, false);
        ASSERT_TRUE(parsed.is_object()) << body << " -> " << reply.body;
        if (reply.status == 200) {
            ASSERT_TRUE(parsed.contains("d")) << body;
        } else {
            ASSERT_EQ(reply.status, 500) << body;
            ASSERT_FALSE(parsed.contains("d")) << body;
            ASSERT_TRUE(parsed.contains("Message")) << body;
        }
    }
    EXPECT_EQ(handler.handle("sendMessage", seeds[1].second).status, 200);
}

// ---- what a client certificate allows ------------------------------------------------------

struct CallerCase {
    const char* name;
    Caller caller;
    std::string op;
    json body;
    bool allowed;
};

class CallerRules : public HandlerTest, public ::testing::WithParamInterface<CallerCase> {
protected:
    // Everything a request could change, read back.
    std::string state() {
        std::string s = std::to_string(storage.messagesWaiting()) + ";";
        for (const char* recipient : {"alice", "bob"}) s += std::to_string(storage.queuedMessages(recipient)) + ",";
        for (const char* team : {"T", "U"}) {
            for (const auto& u : storage.users(team, "a", false)) s += u.user + "=" + u.status + ",";
            s += storage.readValue(team, "g", "k").value_or("-") + ";";
        }
        return s;
    }
};

json report(const std::string& team, const std::string& user) {
    return {{"gruppo", team}, {"codiceApp", "a"},       {"refreshRate", 3},         {"userName", user},
            {"status", "ON"}, {"returnList", true}, {"onlyOnlineUsers", false}};
}
json message(const std::string& from, const std::string& to) {
    return {{"destinatario", to}, {"mittente", from}, {"messaggio", "hi"}};
}
json store(const std::string& team) { return {{"gruppo", team}, {"sottogruppo", "g"}, {"chiave", "k"}, {"valore", 7}}; }
json load(const std::string& team) { return {{"gruppo", team}, {"sottogruppo", "g"}, {"chiave", "k"}}; }

TEST_P(CallerRules, AllowOnlyTheCertificatesUserAndTeamsAndDeniedChangesNothing) {
    const auto& c = GetParam();
    // Something to drain, to overwrite and to list in both teams.
    ASSERT_EQ(send("carl", "alice", "for alice"), true);
    ASSERT_EQ(send("carl", "bob", "for bob"), true);
    for (const char* team : {"T", "U"}) {
        ASSERT_EQ(call("write", {{"gruppo", team}, {"sottogruppo", "g"}, {"chiave", "k"}, {"valore", 1}}).status, 200);
        ASSERT_EQ(call("refreshStatus", report(team, "dave")).status, 200);
    }
    const std::string before = state();
    const HttpReply reply = handler.handle(c.op, c.body.dump(), &c.caller);
    if (c.allowed) {
        EXPECT_EQ(reply.status, 200) << reply.body;
        EXPECT_EQ(reply.outcome, Outcome::ok);
        return;
    }
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.outcome, Outcome::denied);
    const json body = json::parse(reply.body);
    EXPECT_FALSE(body.contains("d")) << reply.body;
    EXPECT_TRUE(body["Message"].is_string());
    EXPECT_EQ(state(), before);
}

const Caller kBob{"bob", {"U"}};
const Caller kAlice{"alice", {"T", "U"}};

INSTANTIATE_TEST_SUITE_P(
    Table, CallerRules,
    ::testing::Values(
        CallerCase{"own_inbox", kBob, "receiveMessage", {{"destinatario", "bob"}}, true},
        CallerCase{"drain_another_inbox", kBob, "receiveMessage", {{"destinatario", "alice"}}, false},
        CallerCase{"send_as_self_to_anyone", kBob, "sendMessage", message("bob", "alice"), true},
        CallerCase{"send_as_another", kBob, "sendMessage", message("alice", "bob"), false},
        CallerCase{"write_own_team", kBob, "write", store("U"), true},
        CallerCase{"write_team_not_named", kBob, "write", store("T"), false},
        CallerCase{"read_own_team", kBob, "read", load("U"), true},
        CallerCase{"read_team_not_named", kBob, "read", load("T"), false},
        CallerCase{"report_self_in_own_team", kBob, "refreshStatus", report("U", "bob"), true},
        CallerCase{"report_self_in_team_not_named", kBob, "refreshStatus", report("T", "bob"), false},
        CallerCase{"report_as_another", kBob, "refreshStatus", report("U", "alice"), false},
        CallerCase{"second_team_of_several", kAlice, "write", store("U"), true},
        CallerCase{"team_names_compare_exactly", Caller{"bob", {"u", "U "}}, "read", load("U"), false},
        CallerCase{"user_names_compare_exactly", Caller{"Bob", {"U"}}, "receiveMessage", {{"destinatario", "bob"}}, false},
        CallerCase{"certificate_without_user", Caller{"", {"U"}}, "receiveMessage", {{"destinatario", ""}}, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora::service
