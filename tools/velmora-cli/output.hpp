#pragma once
// What the commands print. Results go to standard output (one JSON document, or one JSON
// object per line for the commands that run until stopped, with --json); diagnostics go
// to standard error, prefixed "velmora: ". Every line is flushed at once so a reader on a
// pipe sees it as it happens; lines from different threads never interleave.

#include <string>
#include <utility>
#include <vector>

#include <velmora/velmora.hpp>

namespace velmora::cli {

using Entries = std::vector<std::pair<std::string, std::string>>;

// The entries of a decoded reply, sorted by key (the library's map has no order).
Entries sortedEntries(const StringMap& map);
Entries sortedEntries(const JsonValue& object);

// Messages in the order they were sent where the keys tell it: a key ending in "#" and a
// number (velmora-service's SENDER#ID) sorts by that number; other keys follow by key.
Entries sortedMessages(const JsonValue& object);

// Compact JSON that never throws: text that is not valid UTF-8 is written with U+FFFD.
std::string toJsonText(const JsonValue& value);
JsonValue toJsonObject(const Entries& entries);

void printLine(const std::string& line);  // standard output
void printError(const std::string& message);  // standard error, "velmora: " prefixed

}  // namespace velmora::cli
