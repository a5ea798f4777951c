#include "wire/reply.hpp"

#include <gtest/gtest.h>

namespace velmora::detail {
namespace {

struct BoolCase {
    const char* name;
    std::string body;
    std::optional<bool> expected;
    bool parseError;  // the body is not JSON (strictly: a bare scalar is not JSON here)
};

class BoolReading : public ::testing::TestWithParam<BoolCase> {};

TEST_P(BoolReading, Reply) {
    const auto& c = GetParam();
    std::string error;
    EXPECT_EQ(readBoolReply(c.body, &error), c.expected);
    EXPECT_EQ(!error.empty(), c.parseError) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BoolReading,
    ::testing::Values(BoolCase{"true", R"({"d":true})", true, false},
                      BoolCase{"false", R"({"d":false})", false, false},
                      BoolCase{"other_members_ignored", R"({"x":[1,{"d":false}],"d":true,"y":null})", true, false},
                      BoolCase{"text_true_is_not_boolean", R"({"d":"true"})", std::nullopt, false},
                      BoolCase{"number_is_not_boolean", R"({"d":1})", std::nullopt, false},
                      BoolCase{"null", R"({"d":null})", std::nullopt, false},
                      BoolCase{"object_d", R"({"d":{"d":true}})", std::nullopt, false},
                      BoolCase{"missing_d", R"({"Message":"error"})", std::nullopt, false},
                      BoolCase{"key_is_case_sensitive", R"({"D":true})", std::nullopt, false},
                      BoolCase{"empty_object", "{}", std::nullopt, false},
                      BoolCase{"array_top", R"([{"d":true}])", std::nullopt, false},
                      BoolCase{"duplicate_d_last_wins", R"({"d":false,"d":true})", true, false},
                      BoolCase{"duplicate_d_last_kind_wins", R"({"d":true,"d":"x"})", std::nullopt, false},
                      BoolCase{"whitespace", " \n{ \"d\" : true }\t", true, false},
                      BoolCase{"html", "<html>oops</html>", std::nullopt, true},
                      BoolCase{"empty_body", "", std::nullopt, true},
                      BoolCase{"bare_true", "true", std::nullopt, true},
                      BoolCase{"bare_string", R"("x")", std::nullopt, true},
                      BoolCase{"truncated", R"({"d":tru)", std::nullopt, true},
                      BoolCase{"trailing_garbage", R"({"d":true}x)", std::nullopt, true},
                      BoolCase{"nul_then_garbage", std::string("{\"d\":true}\0x", 12), std::nullopt, true},
                      BoolCase{"nul_inside_string", std::string("{\"d\":true,\"x\":\"a\0\"}", 19), std::nullopt, true},
                      BoolCase{"invalid_utf8_in_string", "{\"x\":\"\xFF\",\"d\":true}", std::nullopt, true},
                      BoolCase{"lone_surrogate", R"({"x":"\ud800","d":true})", std::nullopt, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct MapCase {
    const char* name;
    std::string body;
    std::string defaultKey;
    std::optional<StringMap> expected;
};

class MapReading : public ::testing::TestWithParam<MapCase> {};

TEST_P(MapReading, Reply) {
    const auto& c = GetParam();
    EXPECT_EQ(readMapReply(c.body, c.defaultKey), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MapReading,
    ::testing::Values(
        MapCase{"two_records", R"({"d":"a|x\u00a7b|y"})", "", StringMap{{"a", "x"}, {"b", "y"}}},
        MapCase{"quoted", R"({"d":"\"hello\""})", "k", StringMap{{"k", "hello"}}},
        MapCase{"inner_quotes_stay", R"({"d":"\"a\"b\""})", "k", StringMap{{"k", "a\"b"}}},
        MapCase{"one_quote", R"({"d":"\""})", "", StringMap{{"", "\""}}},
        MapCase{"two_quotes", R"({"d":"\"\""})", "", StringMap{}},
        MapCase{"quote_one_end", R"({"d":"\"hello"})", "k", StringMap{{"k", "\"hello"}}},
        MapCase{"empty_text", R"({"d":""})", "", StringMap{}},
        MapCase{"escapes_not_undone", R"({"d":"a|x\\\"y"})", "", StringMap{{"a", "x\\\"y"}}},
        MapCase{"text_members_beside_d", R"({"d":"v","other":"x"})", "k", StringMap{{"k", "v"}}},
        MapCase{"non_text_members_beside_d", R"({"d":"v","n":5,"o":{"d":1}})", "k", StringMap{{"k", "v"}}},
        MapCase{"d_boolean", R"({"d":true})", "", std::nullopt},
        MapCase{"d_array", R"({"d":["a|b"]})", "", std::nullopt},
        MapCase{"missing", R"({})", "", std::nullopt},
        MapCase{"array_top", R"(["a|b"])", "", std::nullopt},
        MapCase{"not_json", "Service Unavailable", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

struct QuoteCase {
    const char* name;
    std::string text;
    std::string expected;
};

class Quotes : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(Quotes, Removal) { EXPECT_EQ(removeQuotes(GetParam().text), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Table, Quotes,
    ::testing::Values(QuoteCase{"empty", "", ""}, QuoteCase{"one_quote", "\"", "\""},
                      QuoteCase{"two_quotes", "\"\"", ""}, QuoteCase{"three_quotes", "\"\"\"", "\""},
                      QuoteCase{"pair", "\"abc\"", "abc"}, QuoteCase{"only_one_pair", "\"\"abc\"\"", "\"abc\""},
                      QuoteCase{"left_only", "\"abc", "\"abc"}, QuoteCase{"right_only", "abc\"", "abc\""},
                      QuoteCase{"no_quotes", "abc", "abc"},
                      QuoteCase{"non_ascii_inside", "\"\xC3\xA9t\xC3\xA9\"", "\xC3\xA9t\xC3\xA9"},
                      // A quote followed by a combining acute accent is one character, not a quote.
                      QuoteCase{"combining_after_first", "\"\xCC\x81x\"", "\"\xCC\x81x\""},
                      QuoteCase{"combining_after_last", "\"x\"\xCC\x81", "\"x\"\xCC\x81"},
                      // A quote joined by a zero-width joiner is not a lone quote either.
                      QuoteCase{"zwj_after_first", "\"\xE2\x80\x8Dx\"", "\"\xE2\x80\x8Dx\""},
                      // A prepended concatenation mark (U+0600) attaches to the quote after it.
                      QuoteCase{"prepend_before_last", "\"x\xD8\x80\"", "\"x\xD8\x80\""},
                      QuoteCase{"emoji_inside", "\"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD\"", "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"},
                      QuoteCase{"invalid_utf8_inside", "\"\xFF\"", "\xFF"}),
    [](const auto& info) { return std::string(info.param.name); });

// Plain replies skip the JSON parser: whatever the scan reads must be what the parser reads,
// and every body it declines the parser still gets.
struct ScanCase {
    const char* name;
    std::string body;
    bool scanned;
};

class PlainScan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(PlainScan, AgreesWithTheParser) {
    const auto& c = GetParam();
    const auto scanned = scanPlainEnvelope(c.body);
    ASSERT_EQ(scanned.has_value(), c.scanned);
    const Envelope parsed = parseEnvelope(c.body);
    const auto expectParsed = [&parsed](const Envelope& e) {
        EXPECT_EQ(e.shape, parsed.shape);
        EXPECT_EQ(e.d, parsed.d);
        EXPECT_EQ(e.boolean, parsed.boolean);
        EXPECT_EQ(e.text, parsed.text);
        EXPECT_EQ(e.parseError, parsed.parseError);
    };
    expectParsed(readEnvelope(c.body));
    if (scanned) expectParsed(*scanned);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlainScan,
    ::testing::Values(
        ScanCase{"true", R"({"d":true})", true}, ScanCase{"false_spaced", " \r\n{ \"d\" : false }\t", true},
        ScanCase{"records", "{\"d\":\"k|v\xC2\xA7" "a|b\"}", true}, ScanCase{"empty_text", R"({"d":""})", true},
        ScanCase{"short_escapes", R"({"d":"a\"b\\c\/d\n\te\b\f\r"})", true},
        ScanCase{"four_byte_utf8", "{\"d\":\"\xF0\x9F\x91\x8D\xEF\xBF\xBF\"}", true},
        ScanCase{"unicode_escape", R"({"d":"\u00e9\ud83d\udc4d"})", false},
        ScanCase{"lone_surrogate_escape", R"({"d":"\ud800"})", false},
        ScanCase{"overlong_two_bytes", "{\"d\":\"\xC0\xAF\"}", false},
        ScanCase{"overlong_three_bytes", "{\"d\":\"\xE0\x80\xAF\"}", false},
        ScanCase{"surrogate_bytes", "{\"d\":\"\xED\xA0\x80\"}", false},
        ScanCase{"past_10FFFF", "{\"d\":\"\xF4\x90\x80\x80\"}", false},
        ScanCase{"truncated_sequence", "{\"d\":\"\xC2\"}", false},
        ScanCase{"raw_control_character", "{\"d\":\"a\tb\"}", false},
        ScanCase{"unknown_escape", R"({"d":"\x"})", false},
        ScanCase{"unterminated", R"({"d":"abc)", false}, ScanCase{"escape_at_end", R"({"d":"a\)", false},
        ScanCase{"two_members", R"({"d":true,"d":false})", false}, ScanCase{"other_member", R"({"x":1,"d":true})", false},
        ScanCase{"number", R"({"d":1})", false}, ScanCase{"literal_run_on", R"({"d":truex})", false},
        ScanCase{"cut_literal", R"({"d":tru)", false}, ScanCase{"trailing_text", R"({"d":true}x)", false},
        ScanCase{"nul_after", std::string(R"({"d":true})") + '\0', false},
        ScanCase{"byte_order_mark", "\xEF\xBB\xBF{\"d\":true}", false},
        ScanCase{"array", R"([{"d":true}])", false}, ScanCase{"empty", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

// Hostile bodies: none of them gives a result in either reading, a crash or a deep tree.
struct HostileCase {
    const char* name;
    std::string body;
};

class HostileReplies : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileReplies, GiveNoResult) {
    EXPECT_EQ(readBoolReply(GetParam().body), std::nullopt);
    EXPECT_EQ(readMapReply(GetParam().body, "k"), std::nullopt);
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

const std::string kDeep = nested(1'000'000);

INSTANTIATE_TEST_SUITE_P(
    Table, HostileReplies,
    ::testing::Values(
        HostileCase{"d_nested_a_million_deep", R"({"d":)" + kDeep + "}"},
        HostileCase{"top_nested_a_million_deep", kDeep},
        HostileCase{"unclosed_a_million_deep", R"({"d":)" + std::string(1'000'000, '[')},
        HostileCase{"objects_nested_deep", R"({"d":)" + [] {
                        std::string s;
                        for (int i = 0; i < 200'000; ++i) s += R"({"d":)";
                        s += "true";
                        s += std::string(200'000, '}');
                        return s;
                    }() + "}"},
        HostileCase{"invalid_utf8_in_d", "{\"d\":\"k|\xFF\xFE\"}"},
        HostileCase{"overlong_utf8_in_d", "{\"d\":\"k|\xC0\xAF\"}"},
        HostileCase{"utf8_surrogate_bytes_in_d", "{\"d\":\"k|\xED\xA0\x80\"}"},
        HostileCase{"invalid_utf8_beside_d", "{\"x\":\"\xFF\",\"d\":true}"},
        HostileCase{"lone_high_surrogate", R"({"d":"k|\ud800"})"},
        HostileCase{"lone_low_surrogate", R"({"d":"k|\udc00"})"},
        HostileCase{"reversed_surrogates", R"({"d":"k|\udc00\ud800"})"},
        HostileCase{"d_null", R"({"d":null})"},
        HostileCase{"d_integer", R"({"d":1})"},
        HostileCase{"d_huge_number", R"({"d":1e999999})"},
        HostileCase{"d_negative", R"({"d":-0.0})"},
        HostileCase{"d_array", R"({"d":[true]})"},
        HostileCase{"d_object", R"({"d":{"d":true}})"},
        HostileCase{"d_empty_object", R"({"d":{}})"},
        HostileCase{"d_only_nested_inside", R"({"x":{"d":true}})"},
        HostileCase{"truncated_after_key", R"({"d":)"},
        HostileCase{"truncated_in_text", R"({"d":"k|v)"},
        HostileCase{"truncated_before_close", R"({"d":true)"},
        HostileCase{"truncated_in_literal", R"({"d":tru)"},
        HostileCase{"truncated_escape", R"({"d":"k|\u00)"},
        HostileCase{"trailing_garbage", R"({"d":true} x)"},
        HostileCase{"two_documents", R"({"d":true}{"d":true})"},
        HostileCase{"duplicate_d_text_then_other", R"({"d":"k|v","d":null})"},
        HostileCase{"duplicate_d_bool_then_array", R"({"d":true,"d":[]})"},
        HostileCase{"comment", R"({"d":true /* x */})"},
        // The JSON reader takes a NUL byte for the end of its input; the library refuses such
        // a body, so what follows a NUL is never silently ignored (compare trailing_garbage).
        HostileCase{"nul_then_garbage", std::string("{\"d\":true}\0garbage", 18)},
        HostileCase{"nul_then_a_second_document", std::string("{\"d\":\"k|v\"}\0{\"d\":", 17)}),
    [](const auto& info) { return std::string(info.param.name); });

// Deep nesting beside "d" costs nothing but the scan, and of duplicate "d" members the last
// is read, whatever came before.
TEST(HostileReplies, DeepValuesBesideDAndDuplicatesDoNotHideD) {
    EXPECT_EQ(readMapReply(R"({"x":)" + kDeep + R"(,"d":"a|1"})", "k"), (StringMap{{"a", "1"}}));
    EXPECT_EQ(readBoolReply(R"({"d":"k|v","d":[1],"d":false})"), false);
    EXPECT_EQ(readMapReply(R"({"d":true,"d":{"a":1},"d":"k|v"})", "x"), (StringMap{{"k", "v"}}));
}

TEST(Envelope, DeepNestingIsReadWithoutRecursion) {
    const std::size_t depth = 1'000'000;
    std::string body = R"({"x":)" + std::string(depth, '[') + std::string(depth, ']') + R"(,"d":true})";
    EXPECT_EQ(readBoolReply(body), true);
}

TEST(ToJson, KeepsEveryEntryAsText) {
    const JsonValue j = toJson(StringMap{{"a", "1"}, {"", "x"}});
    EXPECT_EQ(j, JsonValue::parse(R"({"a":"1","":"x"})"));
    EXPECT_TRUE(toJson(StringMap{}).is_object());
}

}  // namespace
}  // namespace velmora::detail
