#include "wire/body.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace velmora::detail {
namespace {

TEST(Body, MembersKeepTheirJsonKinds) {
    const auto body = BodyWriter()
                          .text("t", "x")
                          .integer("i", -9223372036854775807LL - 1)
                          .boolean("b", false)
                          .value("v", JsonValue::parse(R"({"n":[1,2.5,"5",null,true]})"))
                          .finish();
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, R"({"t":"x","i":-9223372036854775808,"b":false,"v":{"n":[1,2.5,"5",null,true]}})");
}

struct TextCase {
    const char* name;
    std::string text;
    std::optional<std::string> json;  // nullopt: refused
};

class TextMember : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextMember, Escaping) {
    const auto& c = GetParam();
    const auto body = BodyWriter().text("k", c.text).finish();
    if (!c.json) {
        EXPECT_FALSE(body);
        return;
    }
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, "{\"k\":" + *c.json + "}");
    // Whatever is written must parse back to the very same text.
    EXPECT_EQ(JsonValue::parse(*body)["k"].get<std::string>(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TextMember,
    ::testing::Values(TextCase{"empty", "", R"("")"}, TextCase{"quote_backslash", "a\"b\\c", R"("a\"b\\c")"},
                      TextCase{"controls", std::string("\n\t\r\b\f\x01\x1f", 7), R"("\n\t\r\b\f\u0001\u001f")"},
                      TextCase{"nul", std::string("a\0b", 3), R"("a\u0000b")"},
                      TextCase{"slash_and_del", "/\x7f", "\"/\x7f\""},
                      TextCase{"non_ascii", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
                      TextCase{"section_sign", "\xC2\xA7", "\"\xC2\xA7\""},
                      TextCase{"invalid_byte", "a\xFF", std::nullopt},
                      TextCase{"truncated_sequence", "\xE2\x82", std::nullopt},
                      TextCase{"overlong", "\xC0\xAF", std::nullopt},
                      TextCase{"surrogate", "\xED\xA0\x80", std::nullopt},
                      TextCase{"past_unicode", "\xF4\x90\x80\x80", std::nullopt},
                      TextCase{"lone_continuation", "\x80", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

struct ValueCase {
    const char* name;
    JsonValue value;
    bool sendable;
};

class ValueMember : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ValueMember, OnlyFaithfulValuesAreSent) {
    const auto body = BodyWriter().value("v", GetParam().value).finish();
    EXPECT_EQ(body.has_value(), GetParam().sendable);
    if (body) {
        EXPECT_EQ(JsonValue::parse(*body)["v"], GetParam().value);
    }
}

JsonValue nested(std::size_t depth) {
    JsonValue v = 1;
    for (std::size_t i = 1; i < depth; ++i) v = JsonValue::array({std::move(v)});
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ValueMember,
    ::testing::Values(
        ValueCase{"text_5", "5", true}, ValueCase{"number_5", 5, true}, ValueCase{"null", nullptr, true},
        ValueCase{"unsigned_max", std::numeric_limits<std::uint64_t>::max(), true},
        ValueCase{"nan", std::nan(""), false},
        ValueCase{"infinity", std::numeric_limits<double>::infinity(), false},
        ValueCase{"nan_deep", [] {
                      JsonValue v = JsonValue::parse(R"({"a":[1,{"b":[0]}]})");
                      v["a"][1]["b"][0] = std::nan("");
                      return v;
                  }(), false},
        ValueCase{"nan_in_array", JsonValue::array({1, JsonValue::object({{"x", -std::numeric_limits<double>::infinity()}})}), false},
        ValueCase{"invalid_utf8_text", std::string("\xC3"), false},
        ValueCase{"invalid_utf8_key", JsonValue::object({{std::string("\xFF"), 1}}), false},
        ValueCase{"binary", JsonValue::binary({1, 2}), false},
        ValueCase{"depth_at_limit", nested(kMaxValueDepth), true},
        ValueCase{"depth_past_limit", nested(kMaxValueDepth + 1), false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora::detail
