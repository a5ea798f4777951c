#include "input.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "output.hpp"

namespace velmora::cli {

namespace {

struct Read {
    std::string text;
    bool tooLarge = false;
    int error = 0;
};

Read readAll(std::FILE* stream) {
    Read result;
    char buffer[64 * 1024];
    while (true) {
        const std::size_t n = std::fread(buffer, 1, sizeof buffer, stream);
        if (result.text.size() + n > kMaxInputBytes) {
            result.tooLarge = true;
            return result;
        }
        result.text.append(buffer, n);
        if (n < sizeof buffer) {
            if (std::ferror(stream)) result.error = errno != 0 ? errno : EIO;
            return result;
        }
    }
}

}  // namespace

std::optional<std::string> readArgument(const std::string& argument, const std::string& name,
                                        const std::string& command) {
    const bool fromStdin = argument == "-";
    if (!fromStdin && argument.rfind('@', 0) != 0) return argument;

    const std::string source = fromStdin ? std::string("standard input") : "file '" + argument.substr(1) + "'";
    const std::string prefix = command + ": cannot read " + name + " from " + source;
    Read read;
    if (fromStdin) {
        if (::isatty(STDIN_FILENO) == 1) {
            printError("reading " + name + " from standard input; end it with Ctrl-D");
        }
        read = readAll(stdin);
    } else {
        std::FILE* file = std::fopen(argument.c_str() + 1, "rb");
        if (file == nullptr) {
            const int error = errno;
            printError(prefix + ": " + std::strerror(error) + " (a " + name +
                       " that starts with '@' names a file; pass such a text on standard input with -)");
            return std::nullopt;
        }
        read = readAll(file);
        std::fclose(file);
    }
    if (read.tooLarge) {
        printError(command + ": " + name + " from " + source + " is larger than 1 MiB (" +
                   std::to_string(kMaxInputBytes) + " bytes), more than the service takes in one request; nothing sent");
        return std::nullopt;
    }
    if (read.error != 0) {
        printError(prefix + ": " + std::strerror(read.error));
        return std::nullopt;
    }
    return std::move(read.text);
}

}  // namespace velmora::cli
