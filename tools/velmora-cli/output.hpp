#pragma once
// What the commands print. Results go to standard output (one JSON document, or one JSON
// object per line for the commands that run until stopped, with --json); diagnostics go
// to standard error, prefixed "velmora: ". Every line is flushed at once so a reader on a
// pipe sees it as it happens; lines from different threads never interleave.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <velmora/velmora.hpp>

namespace velmora::cli {

using Entries = std::vector<std::pair<std::string, std::string>>;

// The entries of a decoded reply, sorted by key (the library's map has no order).
Entries sortedEntries(const StringMap& map);

// Messages in the order they were sent where the keys tell it: a key ending in "#" and a
// number (velmora-service's SENDER#ID) sorts by that number; other keys follow by key.
Entries sortedMessages(const StringMap& messages);

// The id at the end of a message key "SENDER#ID", when the key has one.
std::optional<std::uint64_t> messageId(const std::string& key);

// A message as --json prints it, one line: {"sender":S,"id":N,"text":T}; a key not of the form
// SENDER#ID is the sender, with a null id.
std::string messageJson(const std::string& key, const std::string& text);

// A text that holds a JSON document as that document; any other text as a JSON string.
JsonValue asJson(const std::string& text);

// Compact JSON that never throws: text that is not valid UTF-8 is written with U+FFFD.
std::string toJsonText(const JsonValue& value);
JsonValue toJsonObject(const Entries& entries);

void printLine(const std::string& line);  // standard output
void printError(const std::string& message);  // standard error, "velmora: " prefixed

}  // namespace velmora::cli
