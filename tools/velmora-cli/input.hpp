#pragma once
// Arguments that may name where their text comes from: "@FILE" reads FILE, "-" reads
// standard input, anything else is the text itself. Shell arguments are capped by the
// system (128 KiB each on Linux) and awkward for JSON documents; files and pipes are not.

#include <cstddef>
#include <optional>
#include <string>

namespace velmora::cli {

// Nothing larger is read: velmora-service refuses a request body over 1 MiB, so a larger
// value could not be stored anyway, and a stray `velmora send a b - </dev/zero` must end.
inline constexpr std::size_t kMaxInputBytes = 1024 * 1024;

// The text `argument` stands for, or nullopt after a "velmora: COMMAND: ..." diagnostic
// (an unreadable file, input over kMaxInputBytes). `name` is the argument's name in the
// command's usage, e.g. "TEXT".
std::optional<std::string> readArgument(const std::string& argument, const std::string& name,
                                        const std::string& command);

}  // namespace velmora::cli
