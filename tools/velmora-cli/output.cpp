#include "output.hpp"

#include <algorithm>
#include <cstdio>
#include <mutex>

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

Entries sortedEntries(const JsonValue& object) {
    Entries entries;
    if (!object.is_object()) return entries;
    for (const auto& [key, value] : object.items()) {
        entries.emplace_back(key, value.is_string() ? value.get<std::string>() : toJsonText(value));
    }
    std::sort(entries.begin(), entries.end());
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
