// Reply bytes as the library reads them: the envelope, both reply readings with both kinds
// of default key (presence and messages read bare values under "", a store read under the
// key it asked for), quote removal and record decoding on the raw bytes as well.
//
// Beyond "no crash, no leak, no undefined behaviour" it checks what callers rely on.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "wire/records.hpp"
#include "wire/reply.hpp"

namespace {

using namespace velmora;
using namespace velmora::detail;

void require(bool ok) {
    if (!ok) std::abort();
}

void checkRemoveQuotes(std::string_view text) {
    const std::string_view out = removeQuotes(text);
    // Either unchanged or exactly one enclosing pair gone, and always a view into the input.
    if (out.size() == text.size()) {
        require(out.data() == text.data());
    } else {
        require(out.size() + 2 == text.size() && out.data() == text.data() + 1);
        require(text.front() == '"' && text.back() == '"');
    }
}

// Decoded records survive encoding again: keys hold no "|" and no "§", values no "~".
void checkRecords(std::string_view text, std::string_view defaultKey) {
    const StringMap map = decodeRecords(text, defaultKey);
    std::vector<std::pair<std::string, std::string>> entries(map.begin(), map.end());
    for (const auto& [key, value] : entries) {
        require(fitsKey(key));
        require(fitsValue(value));
        require(value.find(kBarInValue) == std::string::npos);
    }
    const StringMap again = decodeRecords(encodeRecords(entries), defaultKey);
    require(again == map);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const Envelope e = readEnvelope(bytes);
    require(e.shape != Envelope::Shape::notJson || e.d == Envelope::D::missing);
    // The scan that spares plain replies the parser reads them exactly as the parser does.
    if (const auto plain = scanPlainEnvelope(bytes)) {
        const Envelope parsed = parseEnvelope(bytes);
        require(plain->shape == parsed.shape && plain->d == parsed.d && plain->boolean == parsed.boolean &&
                plain->text == parsed.text);
    }

    std::string parseError;
    const auto b = readBoolReply(bytes, &parseError);
    require(b.has_value() == (e.shape == Envelope::Shape::object && e.d == Envelope::D::boolean));
    if (b) require(*b == e.boolean);

    for (const std::string_view key : {std::string_view(), std::string_view("key")}) {
        const auto m = readMapReply(bytes, key);
        require(m.has_value() == (e.shape == Envelope::Shape::object && e.d == Envelope::D::text));
        if (m) {
            require(*m == decodeRecords(removeQuotes(e.text), key));
            (void)toJson(StringMap(*m)).dump();  // the completion's object serialises
        }
    }

    checkRemoveQuotes(bytes);
    if (e.d == Envelope::D::text) checkRemoveQuotes(e.text);
    checkRecords(bytes, "");
    checkRecords(bytes, "key");
    return 0;
}
