// The reference service's request handling, bytes to reply. The first byte picks the
// operation (the five, one unknown, or one that differs only in case); the rest is the body.
// The in-memory database is made afresh every few hundred inputs: opening one for every
// input would cost most of the run. A finding that does not replay alone replays with the
// inputs before it (libFuzzer's -runs over the corpus in order).
//
// Every reply must be a JSON object: a 200 carries "d" in a form the library reads, a 500
// carries a "Message" text and no "d".

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "wire/reply.hpp"
#include "handler.hpp"
#include "sqlite_storage.hpp"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

constexpr std::string_view kOperations[] = {"sendMessage", "receiveMessage", "write",  "read",
                                             "refreshStatus", "deleteAll",    "READ"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view operation = kOperations[data[0] % std::size(kOperations)];
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);

    static std::unique_ptr<velmora::service::Storage> storage;
    static int uses = 0;
    if (!storage || ++uses % 512 == 0) {
        storage.reset();
        storage = std::make_unique<velmora::service::SqliteStorage>(":memory:", [] { return std::int64_t{1'700'000'000'000}; });
    }
    velmora::service::Handler handler(*storage);
    // Twice: the second request sees what the first stored (a queued message, a value).
    for (int round = 0; round < 2; ++round) {
        const auto reply = handler.handle(operation, body);
        const auto json = nlohmann::json::parse(reply.body, nullptr, false);
        require(json.is_object());
        if (reply.status == 200) {
            require(json.contains("d") && (json["d"].is_boolean() || json["d"].is_string()));
            if (json["d"].is_boolean()) {
                require(velmora::detail::readBoolReply(reply.body).has_value());
            } else {
                require(velmora::detail::readMapReply(reply.body, "").has_value());
            }
        } else {
            require(reply.status == 500);
            require(!json.contains("d") && json.contains("Message") && json["Message"].is_string());
        }
    }
    return 0;
}
