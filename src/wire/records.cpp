// The record format in both directions: decoding reply texts into maps, encoding entries.

#include "wire/records.hpp"

#include <algorithm>
#include <cstring>

namespace velmora::detail {

namespace {

std::string valueOf(const char* begin, const char* end) {
    std::string value(begin, static_cast<std::size_t>(end - begin));
    if (std::memchr(value.data(), kBarInValue, value.size()) != nullptr) {
        std::replace(value.begin(), value.end(), kBarInValue, kFieldSeparator);
    }
    return value;
}

void store(StringMap& out, std::string_view key, std::string&& value) {
    // try_emplace first: most keys are new, and it builds the key string only once.
    auto [it, inserted] = out.try_emplace(std::string(key), std::move(value));
    if (!inserted) it->second = std::move(value);
}

}  // namespace

const char* findRecordEnd(const char* p, const char* end) noexcept {
    // "§" is C2 A7; scanning for the rarer second byte and checking the first keeps the
    // scan in memchr.
    while (p < end) {
        const void* hit = std::memchr(p, '\xA7', static_cast<std::size_t>(end - p));
        if (hit == nullptr) return end;
        const char* h = static_cast<const char*>(hit);
        if (h > p && h[-1] == '\xC2') return h - 1;
        p = h + 1;
    }
    return end;
}

void decodeRecords(std::string_view text, std::string_view defaultKey, StringMap& out) {
    const char* p = text.data();
    const char* const end = p + text.size();
    while (true) {
        const char* recordEnd = findRecordEnd(p, end);
        if (recordEnd != p) {
            const void* bar = std::memchr(p, kFieldSeparator, static_cast<std::size_t>(recordEnd - p));
            if (bar == nullptr) {
                store(out, defaultKey, valueOf(p, recordEnd));
            } else {
                const char* keyEnd = static_cast<const char*>(bar);
                const char* valueBegin = keyEnd + 1;
                const void* bar2 = std::memchr(valueBegin, kFieldSeparator,
                                               static_cast<std::size_t>(recordEnd - valueBegin));
                const char* valueEnd = bar2 ? static_cast<const char*>(bar2) : recordEnd;
                store(out, std::string_view(p, static_cast<std::size_t>(keyEnd - p)),
                      valueOf(valueBegin, valueEnd));
            }
        }
        if (recordEnd == end) break;
        p = recordEnd + kRecordSeparator.size();
    }
}

StringMap decodeRecords(std::string_view text, std::string_view defaultKey) {
    StringMap out;
    if (text.empty()) return out;
    // One pass to size the table: rehashing while inserting costs more than this scan.
    std::size_t records = 1;
    for (const char* p = text.data(), *end = p + text.size(); (p = findRecordEnd(p, end)) != end;
         p += kRecordSeparator.size()) {
        ++records;
    }
    out.reserve(records);
    decodeRecords(text, defaultKey, out);
    return out;
}

bool fitsValue(std::string_view text) noexcept {
    return text.find(kRecordSeparator) == std::string_view::npos;
}

bool fitsKey(std::string_view text) noexcept {
    return fitsValue(text) && text.find(kFieldSeparator) == std::string_view::npos;
}

void appendBareValue(std::string& out, std::string_view value) {
    if (!out.empty()) out.append(kRecordSeparator);
    const std::size_t start = out.size();
    out.append(value);
    std::replace(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(), kFieldSeparator,
                 kBarInValue);
}

void appendRecord(std::string& out, std::string_view key, std::string_view value) {
    if (!out.empty()) out.append(kRecordSeparator);
    out.append(key);
    out.push_back(kFieldSeparator);
    const std::size_t start = out.size();
    out.append(value);
    std::replace(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(), kFieldSeparator,
                 kBarInValue);
}

std::string encodeRecords(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string out;
    for (const auto& [key, value] : entries) appendRecord(out, key, value);
    return out;
}

}  // namespace velmora::detail
