// Writing a request body: JSON text escaped as it is appended, values checked for a
// faithful JSON form before they are serialised.

#include "wire/body.hpp"

#include <cmath>
#include <vector>

#include "wire/utf8.hpp"

namespace velmora::detail {

bool appendJsonString(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    const auto* run = p;  // start of bytes not yet copied
    auto flush = [&](const unsigned char* upto) {
        out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(upto - run));
    };
    while (p < end) {
        const unsigned char c = *p;
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            ++p;
            continue;
        }
        if (c >= 0x80) {
            const std::size_t n = utf8SequenceLength(p, end);
            if (n == 0) return false;
            p += n;
            continue;
        }
        flush(p);
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\b': out.append("\\b"); break;
            case '\f': out.append("\\f"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            default:
                out.append("\\u00");
                out.push_back(hex[c >> 4]);
                out.push_back(hex[c & 0xF]);
        }
        run = ++p;
    }
    flush(p);
    out.push_back('"');
    return true;
}

bool hasFaithfulJsonForm(const JsonValue& value) {
    // Iterative, so a deep value cannot exhaust the caller's stack here.
    std::vector<std::pair<const JsonValue*, std::size_t>> stack{{&value, 1}};
    while (!stack.empty()) {
        const auto [v, depth] = stack.back();
        stack.pop_back();
        if (depth > kMaxValueDepth) return false;
        if (v->is_number_float() && !std::isfinite(v->get<double>())) return false;
        if (v->is_binary()) return false;  // JSON has no binary kind
        if (v->is_structured()) {
            for (const auto& child : *v) stack.emplace_back(&child, depth + 1);
        }
    }
    return true;
}

BodyWriter::BodyWriter() {
    out_.reserve(128);
    out_.push_back('{');
}

void BodyWriter::member(std::string_view key) {
    if (out_.size() > 1) out_.push_back(',');
    ok_ = appendJsonString(out_, key) && ok_;
    out_.push_back(':');
}

BodyWriter& BodyWriter::text(std::string_view key, std::string_view value) {
    member(key);
    ok_ = appendJsonString(out_, value) && ok_;
    return *this;
}

BodyWriter& BodyWriter::integer(std::string_view key, std::int64_t value) {
    member(key);
    out_.append(std::to_string(value));
    return *this;
}

BodyWriter& BodyWriter::boolean(std::string_view key, bool value) {
    member(key);
    out_.append(value ? "true" : "false");
    return *this;
}

BodyWriter& BodyWriter::value(std::string_view key, const JsonValue& value) {
    member(key);
    if (!hasFaithfulJsonForm(value)) {
        ok_ = false;
        return *this;
    }
    try {
        out_.append(value.dump());  // strict: throws on text that is not UTF-8
    } catch (const nlohmann::json::exception&) {
        ok_ = false;
    }
    return *this;
}

std::optional<std::string> BodyWriter::finish() {
    if (!ok_) return std::nullopt;
    out_.push_back('}');
    return std::move(out_);
}

}  // namespace velmora::detail
