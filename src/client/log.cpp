// The process's log handler, replaceable at any time from any thread.

#include "client/log.hpp"

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>

#include <velmora/velmora.hpp>

namespace velmora {

namespace {

using Handler = std::function<void(std::string_view)>;

// A handler is called outside the lock, through a reference that keeps it alive, so a line
// logged while another thread replaces the handler neither blocks the replacement nor
// outlives the handler it runs.
std::mutex handlerMutex;
std::shared_ptr<const Handler> handler;  // nullptr: standard output

void printLine(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

void setLogHandler(std::function<void(std::string_view line)> next) {
    auto replacement = next ? std::make_shared<const Handler>(std::move(next)) : nullptr;
    std::lock_guard lock(handlerMutex);
    handler.swap(replacement);
    // The old handler is released here, or by a line still running it.
}

namespace detail {

void logLine(std::string_view line) {
    std::shared_ptr<const Handler> current;
    {
        std::lock_guard lock(handlerMutex);
        current = handler;
    }
    if (!current) {
        printLine(line);
        return;
    }
    try {
        (*current)(line);
    } catch (...) {
        // A handler that throws must not take the call that logged with it.
    }
}

}  // namespace detail
}  // namespace velmora
