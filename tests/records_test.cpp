#include "wire/records.hpp"

#include <random>

#include <gtest/gtest.h>

namespace velmora::detail {
namespace {

struct DecodeCase {
    const char* name;
    std::string text;
    std::string defaultKey;
    StringMap expected;
};

class Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, Records) {
    const auto& c = GetParam();
    EXPECT_EQ(decodeRecords(c.text, c.defaultKey), c.expected);
}

const std::string S = "\xC2\xA7";  // the record separator

INSTANTIATE_TEST_SUITE_P(
    Table, Decode,
    ::testing::Values(
        DecodeCase{"worked_example", "anna|ciao~a presto" + S + "bruno|ok" + S + "solo" + S + S + "carla|1|2", "",
                   {{"anna", "ciao|a presto"}, {"bruno", "ok"}, {"", "solo"}, {"carla", "1"}}},
        DecodeCase{"worked_example_read", "anna|ciao~a presto" + S + "bruno|ok" + S + "solo" + S + S + "carla|1|2",
                   "k", {{"anna", "ciao|a presto"}, {"bruno", "ok"}, {"k", "solo"}, {"carla", "1"}}},
        DecodeCase{"empty", "", "", {}},
        DecodeCase{"only_separators", S + S + S, "k", {}},
        DecodeCase{"bare_value", "hello", "", {{"", "hello"}}},
        DecodeCase{"bare_value_under_key", "hello", "k", {{"k", "hello"}}},
        DecodeCase{"empty_key", "|v", "k", {{"", "v"}}},
        DecodeCase{"empty_value", "k|", "", {{"k", ""}}},
        DecodeCase{"third_field_dropped", "a|b|c", "", {{"a", "b"}}},
        DecodeCase{"last_record_wins", "k|1" + S + "k|2", "", {{"k", "2"}}},
        DecodeCase{"tilde_in_value", "k|x~y", "", {{"k", "x|y"}}},
        DecodeCase{"tilde_in_key_kept", "x~y|z", "", {{"x~y", "z"}}},
        DecodeCase{"tilde_in_bare_value", "a~b", "k", {{"k", "a|b"}}},
        DecodeCase{"later_bare_value_wins", "a" + S + "b", "k", {{"k", "b"}}},
        DecodeCase{"bare_and_empty_key_compete", "hello" + S + "|x", "", {{"", "x"}}},
        DecodeCase{"entry_named_like_default_key", "k|1" + S + "solo", "k", {{"k", "solo"}}},
        DecodeCase{"trailing_separator", "x|1" + S, "", {{"x", "1"}}},
        DecodeCase{"leading_separator", S + "x|1", "", {{"x", "1"}}},
        DecodeCase{"quote_kept", "\"hello", "k", {{"k", "\"hello"}}},
        DecodeCase{"lone_bar", "|", "", {{"", ""}}},
        // A byte A7 that is not part of a section sign (inside another character) does not split.
        DecodeCase{"a7_inside_other_character", "k|\xD2\xA7x", "", {{"k", "\xD2\xA7x"}}},
        DecodeCase{"non_ascii_text", "n\xC3\xB6me|v\xC3\xA4lue", "", {{"n\xC3\xB6me", "v\xC3\xA4lue"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Decode, IntoExistingMapAddsAndReplaces) {
    StringMap map{{"a", "old"}, {"b", "kept"}};
    decodeRecords("a|new" + S + "c|3", "", map);
    EXPECT_EQ(map, (StringMap{{"a", "new"}, {"b", "kept"}, {"c", "3"}}));
}

// Encoding and decoding are two halves of one format: whatever the service can encode,
// the library must read back unchanged.
TEST(RecordFormat, RoundTripsEveryEncodableEntry) {
    std::mt19937 rng(12345);
    const std::vector<std::string> alphabet = {"a", "b", "|", "~", " ", "\"", "\xC3\xA9", "\xF0\x9F\x98\x80", "\xC2", "\xA7"};
    auto randomText = [&](bool key) {
        std::string s;
        const int n = static_cast<int>(rng() % 6);
        for (int i = 0; i < n; ++i) s += alphabet[rng() % alphabet.size()];
        if (key) std::erase(s, '|');
        return s;
    };
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::pair<std::string, std::string>> entries;
        StringMap expected;
        const int n = 1 + static_cast<int>(rng() % 5);
        for (int i = 0; i < n; ++i) {
            std::string key = randomText(true);
            std::string value = randomText(false);
            std::erase(value, '~');  // a value cannot carry a literal tilde
            if (!fitsKey(key) || !fitsValue(value)) continue;
            entries.emplace_back(key, value);
            expected[key] = value;
        }
        EXPECT_EQ(decodeRecords(encodeRecords(entries), "unused"), expected) << "round " << round;
    }
}

TEST(RecordFormat, BareValueDecodesUnderDefaultKey) {
    std::string text;
    appendBareValue(text, "a|b");
    EXPECT_EQ(text, "a~b");
    EXPECT_EQ(decodeRecords(text, "key"), (StringMap{{"key", "a|b"}}));
}

TEST(RecordFormat, WhatCannotTravel) {
    EXPECT_FALSE(fitsValue("x" + S + "y"));
    EXPECT_TRUE(fitsValue("x|y~z"));
    EXPECT_FALSE(fitsKey("x|y"));
    EXPECT_TRUE(fitsKey("x~y"));
}

}  // namespace
}  // namespace velmora::detail
