#include "handler.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "wire/records.hpp"

namespace velmora::service {

namespace {

using nlohmann::json;
namespace records = velmora::detail;

// A request the service cannot serve; becomes a 500 carrying `message`.
struct BadRequest {
    std::string message;
};

// A request the caller's certificate does not allow; a 500 like any refusal, so the wire
// does not change and the library sees no result.
struct Denied {
    std::string message;
};


// Texts in replies come from parsed JSON or from the database; should either ever hold
// bytes that are not UTF-8, they are replaced rather than failing the reply.
std::string dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string textReply(std::string text) {
    return dump(json{{"d", protectFromQuoteRemoval(std::move(text))}});
}

std::string boolReply(bool value) { return value ? R"({"d":true})" : R"({"d":false})"; }

// The reply text of receiveMessage may use what the envelope {"d":""} and a protecting
// pair of quotes leave of the bound.
constexpr std::size_t kMessagesTextBudget = kMaxMessagesReply - (sizeof R"({"d":""})" - 1) - 2;
constexpr std::size_t kListTextBudget = kMaxListReply - (sizeof R"({"d":""})" - 1) - 2;
constexpr std::size_t kMaxIdDigits = 19;  // int64

bool nestedTooDeep(std::string_view body) {
    std::size_t depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxNesting) return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

std::string quoted(std::string_view name) { return "\"" + std::string(name) + "\""; }

// What the operation touches, checked against the certificate before anything is read or
// changed. `user` is the name the request acts as (a recipient, a sender, a reporting
// user); `team` the team whose data it reads or writes.
void allow(const Caller* caller, const std::string* user, const std::string* team) {
    if (caller == nullptr) return;
    if (caller->user.empty()) throw Denied{"the client certificate names no single user (common name)"};
    if (user != nullptr && *user != caller->user) {
        throw Denied{"the client certificate of " + quoted(std::string_view(caller->user).substr(0, 100)) + " does not allow acting as " +
                     quoted(std::string_view(*user).substr(0, 100))};
    }
    if (team != nullptr && !caller->memberOf(*team)) {
        throw Denied{"the client certificate of " + quoted(std::string_view(caller->user).substr(0, 100)) + " does not name the team " +
                     quoted(std::string_view(*team).substr(0, 100))};
    }
}

class Members {
public:
    explicit Members(const json& object) : object_(object) {}

    const json& any(const char* name) const {
        auto it = object_.find(name);
        if (it == object_.end()) throw BadRequest{"missing member " + quoted(name)};
        return *it;
    }
    const std::string& text(const char* name) const {
        const json& v = any(name);
        if (!v.is_string()) throw BadRequest{"member " + quoted(name) + " must be a string"};
        return v.get_ref<const std::string&>();
    }
    std::int64_t integer(const char* name) const {
        const json& v = any(name);
        if (v.is_number_unsigned()) {
            const auto u = v.get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                throw BadRequest{"member " + quoted(name) + " is out of range"};
            }
            return static_cast<std::int64_t>(u);
        }
        if (!v.is_number_integer()) throw BadRequest{"member " + quoted(name) + " must be an integer"};
        return v.get<std::int64_t>();
    }
    bool boolean(const char* name) const {
        const json& v = any(name);
        if (!v.is_boolean()) throw BadRequest{"member " + quoted(name) + " must be a boolean"};
        return v.get<bool>();
    }

private:
    const json& object_;
};

std::size_t recordCost(bool first, std::string_view key, std::string_view value) {
    // "|" becomes "~" in a value: one byte for one byte, the escaped size is unchanged.
    return (first ? 0 : records::kRecordSeparator.size()) + jsonEscapedSize(key) + 1 + jsonEscapedSize(value);
}

HttpReply refreshStatus(Storage& storage, const Members& m, const Caller* caller) {
    const std::string& team = m.text("gruppo");
    const std::string& app = m.text("codiceApp");
    const std::int64_t refreshRate = m.integer("refreshRate");
    const std::string& user = m.text("userName");
    const std::string& status = m.text("status");
    const bool returnList = m.boolean("returnList");
    const bool onlyOnline = m.boolean("onlyOnlineUsers");
    // The list carries user|status records: a name that cannot be a record key, or a
    // status that cannot be a value, could never be listed, so it is not recorded either.
    if (!records::fitsKey(user)) throw BadRequest{"userName cannot hold \"|\" or \"\xC2\xA7\""};
    if (!records::fitsValue(status)) throw BadRequest{"status cannot hold \"\xC2\xA7\""};
    // One report must not be able to make a team's list too large to read.
    if (user.size() > kMaxUserName) {
        throw BadRequest{"userName longer than " + std::to_string(kMaxUserName) + " bytes"};
    }
    if (status.size() > kMaxStatus) throw BadRequest{"status longer than " + std::to_string(kMaxStatus) + " bytes"};
    // The report is the caller's own presence, and the list its team's.
    allow(caller, &user, &team);

    storage.reportPresence(team, app, user, status, refreshRate);
    std::string text;
    if (returnList) {
        // The most recently seen users first, as many as the reply bound holds (the caller,
        // who has just reported, always); then listed by name.
        std::size_t used = 0;
        auto listed = storage.users(team, app, onlyOnline, [&](const UserStatus& u) {
            if (!records::fitsKey(u.user) || !records::fitsValue(u.status)) return true;  // skipped below
            const std::size_t cost = recordCost(used == 0, u.user, u.status);
            if (used + cost > kListTextBudget) return false;
            used += cost;
            return true;
        });
        std::sort(listed.begin(), listed.end(), [](const UserStatus& a, const UserStatus& b) { return a.user < b.user; });
        for (const UserStatus& u : listed) {
            if (records::fitsKey(u.user) && records::fitsValue(u.status)) records::appendRecord(text, u.user, u.status);
        }
    }
    return {200, textReply(std::move(text))};
}

HttpReply sendMessage(Storage& storage, const Members& m, const Caller* caller) {
    const std::string& recipient = m.text("destinatario");
    const std::string& sender = m.text("mittente");
    const std::string& text = m.text("messaggio");
    allow(caller, &sender, nullptr);
    if (!records::fitsKey(sender) || !records::fitsValue(text)) return {200, boolReply(false)};
    // A message that could not travel alone within the reply bound would never be
    // delivered; refuse it now, while the sender can still be told.
    const std::string widestKey = std::string(sender) + "#" + std::string(kMaxIdDigits, '9');
    if (recordCost(true, widestKey, text) > kMessagesTextBudget) return {200, boolReply(false)};
    storage.queueMessage(recipient, sender, text);
    return {200, boolReply(true)};
}

HttpReply receiveMessage(Storage& storage, const Members& m, const Caller* caller) {
    const std::string& recipient = m.text("destinatario");
    allow(caller, &recipient, nullptr);
    std::string text;
    // The predicate only measures: if the transaction fails after it, no reply is sent
    // and the messages stay queued.
    const auto taken = storage.takeMessages(recipient, [used = std::size_t{0}](const Message& message) mutable {
        const std::size_t cost = recordCost(used == 0, messageKey(message.sender, message.id), message.text);
        if (used + cost > kMessagesTextBudget) return false;
        used += cost;
        return true;
    });
    for (const Message& message : taken) records::appendRecord(text, messageKey(message.sender, message.id), message.text);
    return {200, textReply(std::move(text))};
}

HttpReply write(Storage& storage, const Members& m, const Caller* caller) {
    const std::string& team = m.text("gruppo");
    const std::string& tag = m.text("sottogruppo");
    const std::string& key = m.text("chiave");
    const json& value = m.any("valore");
    allow(caller, nullptr, &team);
    // What read would answer must fit in a record; otherwise the value could be stored but
    // never read back.
    if (!records::fitsValue(readForm(value))) return {200, boolReply(false)};
    storage.writeValue(team, tag, key, dump(value));
    return {200, boolReply(true)};
}

HttpReply read(Storage& storage, const Members& m, const Caller* caller) {
    const std::string& team = m.text("gruppo");
    const std::string& tag = m.text("sottogruppo");
    const std::string& key = m.text("chiave");
    allow(caller, nullptr, &team);
    std::string text;
    if (const auto stored = storage.readValue(team, tag, key)) {
        const json value = json::parse(*stored, nullptr, false);
        // Only a database edited by hand holds something else; it reads as nothing stored.
        if (!value.is_discarded()) {
            const std::string form = readForm(value);
            if (records::fitsValue(form)) records::appendBareValue(text, form);
        }
    }
    return {200, textReply(std::move(text))};
}

HttpReply dispatch(Storage& storage, std::string_view operation, std::string_view body, const Caller* caller) {
    using Operation = HttpReply (*)(Storage&, const Members&, const Caller*);
    Operation op = nullptr;
    if (operation == "refreshStatus") {
        op = refreshStatus;
    } else if (operation == "sendMessage") {
        op = sendMessage;
    } else if (operation == "receiveMessage") {
        op = receiveMessage;
    } else if (operation == "write") {
        op = write;
    } else if (operation == "read") {
        op = read;
    } else {
        throw BadRequest{"unknown operation " + quoted(operation.substr(0, 100))};
    }
    if (body.size() > kMaxRequestBody) {
        throw BadRequest{"request body larger than " + std::to_string(kMaxRequestBody) + " bytes"};
    }
    // The JSON reader takes a NUL byte for the end of its input, which would let whatever
    // follows a valid document pass unseen; JSON text cannot hold one.
    if (body.find('\0') != std::string_view::npos) throw BadRequest{"request body is not JSON (it holds a NUL byte)"};
    if (nestedTooDeep(body)) throw BadRequest{"request body nested deeper than " + std::to_string(kMaxNesting)};
    const json request = json::parse(body, nullptr, false);
    if (request.is_discarded()) throw BadRequest{"request body is not JSON"};
    if (!request.is_object()) throw BadRequest{"request body is not a JSON object"};
    return op(storage, Members(request), caller);
}

}  // namespace

HttpReply Handler::handle(std::string_view operation, std::string_view body, const Caller* caller) noexcept {
    try {
        try {
            return dispatch(storage_, operation, body, caller);
        } catch (const BadRequest& e) {
            return {500, errorBody(e.message), Outcome::refused};
        } catch (const Denied& e) {
            return {500, errorBody(e.message), Outcome::denied};
        } catch (const RefusedError& e) {
            return {500, errorBody(e.what()), Outcome::refused};
        } catch (const StorageError& e) {
            return {500, errorBody(std::string("storage: ") + e.what()), Outcome::storeError};
        } catch (const std::bad_alloc&) {
            return {500, errorBody("out of memory"), Outcome::refused};
        } catch (const std::exception& e) {
            return {500, errorBody(std::string("internal error: ") + e.what()), Outcome::refused};
        } catch (...) {
            return {500, errorBody("internal error"), Outcome::refused};
        }
    } catch (...) {
        // Building the error reply itself failed (memory); a fixed text needs no allocation
        // beyond the reply.
        return {500, R"({"Message":"internal error"})", Outcome::refused};
    }
}

std::optional<std::int64_t> Handler::messagesWaiting() noexcept {
    try {
        return storage_.messagesWaiting();
    } catch (...) {
        return std::nullopt;
    }
}

bool Caller::memberOf(std::string_view team) const {
    return std::find(teams.begin(), teams.end(), team) != teams.end();
}

std::string errorBody(std::string_view message) { return dump(json{{"Message", message}}); }

std::string protectFromQuoteRemoval(std::string text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        std::string wrapped;
        wrapped.reserve(text.size() + 2);
        wrapped.push_back('"');
        wrapped.append(text);
        wrapped.push_back('"');
        return wrapped;
    }
    return text;
}

std::size_t jsonEscapedSize(std::string_view text) noexcept {
    std::size_t size = 0;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': case '\\': case '\b': case '\f': case '\n': case '\r': case '\t':
                size += 2;
                break;
            default:
                size += c < 0x20 ? 6 : 1;  // \u00XX
        }
    }
    return size;
}

std::string readForm(const json& value) {
    if (value.is_string()) return value.get<std::string>();
    return dump(value);
}

std::string messageKey(std::string_view sender, std::int64_t id) {
    std::string key(sender);
    key.push_back('#');
    key += std::to_string(id);
    return key;
}

}  // namespace velmora::service
