#pragma once
// Reading a reply: the envelope {"d": ...}, quote removal, and the two readings the
// operations make of it. Pure functions; both forms of every operation use them.

#include <optional>
#include <string>
#include <string_view>

#include <velmora/velmora.hpp>

namespace velmora::detail {

struct Envelope {
    enum class Shape {
        notJson,    // not JSON, or a bare scalar at the top (only objects and arrays count)
        notObject,  // a JSON array at the top
        object,
    };
    enum class D { missing, boolean, text, other };

    Shape shape = Shape::notJson;
    D d = D::missing;  // the last "d" member wins when there are several
    bool boolean = false;
    std::string text;
    std::string parseError;  // the parser's description, when shape is notJson
};

// Parses the reply body and keeps only what the library reads: the top-level shape and
// the member "d". Never throws; nesting depth costs memory linear in the depth only.
Envelope readEnvelope(std::string_view body);

// The two ways readEnvelope reads, exposed so that tests can hold them to the same results.
// The scan accepts only the plain shape most replies have, {"d": true, false or a string}
// with nothing else and no \u escape, without building anything a parser needs; nullopt for
// every other body. The parse reads any body.
std::optional<Envelope> scanPlainEnvelope(std::string_view body);
Envelope parseEnvelope(std::string_view body);

// Removes one enclosing pair of double quotes, where the first and the last user-perceived
// characters (extended grapheme clusters) are each a lone double quote. Only those two
// clusters are examined, whatever the text's length.
std::string_view removeQuotes(std::string_view text) noexcept;

// The two readings of a read envelope: its boolean "d", or the decoded records of its
// text "d"; nullopt when the envelope does not hold one.
std::optional<bool> boolOf(const Envelope& envelope) noexcept;
std::optional<StringMap> mapOf(const Envelope& envelope, std::string_view defaultKey);

// The boolean "d" of a reply; nullopt for a reply that is unreadable as one.
// On a body that is not JSON, `parseError` (when given) receives the parser's description.
std::optional<bool> readBoolReply(std::string_view body, std::string* parseError = nullptr);

// The decoded record text of a reply's string "d"; nullopt for an unreadable reply.
std::optional<StringMap> readMapReply(std::string_view body, std::string_view defaultKey);

// A StringMap as the JSON object that ValueCallbacks receive.
JsonValue toJson(StringMap&& map);

}  // namespace velmora::detail
