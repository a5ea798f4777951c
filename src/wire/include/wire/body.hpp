#pragma once
// The request body: one compact JSON object. Text that is not valid UTF-8, numbers that
// are not finite, and values nested past kMaxValueDepth have no faithful JSON form, so they
// make the whole body unbuildable rather than being silently changed on the wire.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <velmora/velmora.hpp>

namespace velmora::detail {

inline constexpr std::size_t kMaxValueDepth = 512;

class BodyWriter {
public:
    BodyWriter();
    BodyWriter& text(std::string_view key, std::string_view value);
    BodyWriter& integer(std::string_view key, std::int64_t value);
    BodyWriter& boolean(std::string_view key, bool value);
    BodyWriter& value(std::string_view key, const JsonValue& value);
    // The serialised object, or nullopt when some member had no faithful JSON form.
    std::optional<std::string> finish();  // once: moves the text out

private:
    void member(std::string_view key);
    std::string out_;
    bool ok_ = true;
};

// Appends `text` as a JSON string; false (leaving `out` partly written) when it is not
// valid UTF-8.
bool appendJsonString(std::string& out, std::string_view text);

// True when `value` can be sent exactly: finite numbers only, nesting within kMaxValueDepth.
// (Text validity is checked while serialising.)
bool hasFaithfulJsonForm(const JsonValue& value);

}  // namespace velmora::detail
