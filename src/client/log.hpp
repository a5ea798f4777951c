#pragma once
// Where the library's printed lines go: the application's log handler, or standard output.

#include <string_view>

namespace velmora::detail {

// Hands one line (without a line feed) to the current log handler. Any thread.
void logLine(std::string_view line);

}  // namespace velmora::detail
