#include "output.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <mutex>
#include <optional>

namespace velmora::cli {

namespace {
std::mutex outputMutex;

void writeLine(std::FILE* stream, const std::string& prefix, const std::string& line) {
    std::lock_guard lock(outputMutex);
    std::fwrite(prefix.data(), 1, prefix.size(), stream);
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}
}  // namespace

Entries sortedEntries(const StringMap& map) {
    Entries entries(map.begin(), map.end());
    std::sort(entries.begin(), entries.end());
    return entries;
}

std::optional<std::uint64_t> messageId(const std::string& key) {
    const auto hash = key.rfind('#');
    if (hash == std::string::npos || hash + 1 == key.size() || key.size() - hash - 1 > 18) return {};
    std::uint64_t n = 0;
    for (auto i = hash + 1; i < key.size(); ++i) {
        if (key[i] < '0' || key[i] > '9') return {};
        n = n * 10 + static_cast<std::uint64_t>(key[i] - '0');
    }
    return n;
}

std::string messageJson(const std::string& key, const std::string& text) {
    const auto id = messageId(key);
    // Written by hand: a JSON object orders its members by name, and a reader expects the
    // sender first.
    return "{\"sender\":" + toJsonText(id ? key.substr(0, key.rfind('#')) : key) +
           ",\"id\":" + (id ? std::to_string(*id) : std::string("null")) + ",\"text\":" + toJsonText(text) + "}";
}

JsonValue asJson(const std::string& text) {
    auto value = JsonValue::parse(text, nullptr, false);
    return value.is_discarded() ? JsonValue(text) : value;
}

Entries sortedMessages(const StringMap& messages) {
    auto entries = sortedEntries(messages);
    std::stable_sort(entries.begin(), entries.end(), [&](const auto& a, const auto& b) {
        const auto x = messageId(a.first);
        const auto y = messageId(b.first);
        if (x && y) return *x < *y;
        return x.has_value() && !y.has_value();
    });
    return entries;
}

std::string toJsonText(const JsonValue& value) {
    return value.dump(-1, ' ', false, JsonValue::error_handler_t::replace);
}

JsonValue toJsonObject(const Entries& entries) {
    JsonValue object = JsonValue::object();
    for (const auto& [key, value] : entries) object[key] = value;
    return object;
}

void printLine(const std::string& line) { writeLine(stdout, {}, line); }

void printError(const std::string& message) { writeLine(stderr, "velmora: ", message); }

}  // namespace velmora::cli
