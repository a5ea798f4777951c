// Reading a reply: the plain-reply scan, the parser for every other body, quote removal and
// the two readings the operations make.

#include "wire/reply.hpp"

#include <cstring>

#include <utf8proc.h>

#include "wire/records.hpp"
#include "wire/utf8.hpp"

namespace velmora::detail {

namespace {

using json = nlohmann::json;

// Only the top object's "d" is kept; every other value is validated and dropped, so a
// hostile reply cannot make the library build a large or deep tree.
class EnvelopeReader {
public:
    explicit EnvelopeReader(Envelope& out) : out_(out) {}

    bool null() { return scalar(Envelope::D::other); }
    bool boolean(bool v) {
        if (atDValue()) out_.boolean = v;
        return scalar(Envelope::D::boolean);
    }
    bool number_integer(json::number_integer_t) { return scalar(Envelope::D::other); }
    bool number_unsigned(json::number_unsigned_t) { return scalar(Envelope::D::other); }
    bool number_float(json::number_float_t, const json::string_t&) { return scalar(Envelope::D::other); }
    bool string(json::string_t& v) {
        if (atDValue()) out_.text = std::move(v);
        return scalar(Envelope::D::text);
    }
    bool binary(json::binary_t&) { return scalar(Envelope::D::other); }

    bool start_object(std::size_t) { return open(true); }
    bool start_array(std::size_t) { return open(false); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(json::string_t& k) {
        if (depth_ == 1) keyIsD_ = (k == "d");
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const json::exception& e) {
        out_.shape = Envelope::Shape::notJson;
        out_.parseError = e.what();
        return false;
    }

    bool sawTopContainer() const { return sawTop_; }

private:
    bool atDValue() const { return depth_ == 1 && topIsObject_ && keyIsD_; }

    bool scalar(Envelope::D kind) {
        if (atDValue()) out_.d = kind;
        return true;
    }
    bool open(bool object) {
        if (depth_ == 0) {
            sawTop_ = true;
            topIsObject_ = object;
            out_.shape = object ? Envelope::Shape::object : Envelope::Shape::notObject;
        } else if (atDValue()) {
            out_.d = Envelope::D::other;
        }
        ++depth_;
        return true;
    }
    bool close() {
        --depth_;
        return true;
    }

    Envelope& out_;
    std::size_t depth_ = 0;
    bool sawTop_ = false;
    bool topIsObject_ = false;
    bool keyIsD_ = false;
};

// The code point that ends at `end` (exclusive); -1 when the bytes there are not UTF-8.
utf8proc_int32_t lastCodePoint(const char* begin, const char* end) {
    const char* p = end;
    int back = 0;
    while (p > begin && back < 4) {
        --p;
        ++back;
        if ((static_cast<unsigned char>(*p) & 0xC0) != 0x80) break;
    }
    utf8proc_int32_t cp = -1;
    const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(p), end - p, &cp);
    return (n == end - p) ? cp : -1;
}

bool isJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

std::optional<Envelope> scanPlainEnvelope(std::string_view body) {
    const auto* p = reinterpret_cast<const unsigned char*>(body.data());
    const auto* const end = p + body.size();
    const auto skipSpace = [&] {
        while (p != end && isJsonSpace(static_cast<char>(*p))) ++p;
    };
    const auto take = [&](std::string_view token) {
        if (static_cast<std::size_t>(end - p) < token.size() || std::memcmp(p, token.data(), token.size()) != 0) {
            return false;
        }
        p += token.size();
        return true;
    };

    Envelope out;
    skipSpace();
    if (!take("{")) return std::nullopt;
    skipSpace();
    if (!take("\"d\"")) return std::nullopt;
    skipSpace();
    if (!take(":")) return std::nullopt;
    skipSpace();
    if (take("true")) {
        out.d = Envelope::D::boolean;
        out.boolean = true;
    } else if (take("false")) {
        out.d = Envelope::D::boolean;
    } else if (take("\"")) {
        out.d = Envelope::D::text;
        const unsigned char* run = p;  // bytes copied as they stand, up to the next escape
        for (;;) {
            if (p == end) return std::nullopt;
            const unsigned char c = *p;
            if (c == '"') break;
            if (c < 0x20) return std::nullopt;
            if (c < 0x80 && c != '\\') {
                ++p;
                continue;
            }
            if (c >= 0x80) {
                const std::size_t n = utf8SequenceLength(p, end);
                if (n == 0) return std::nullopt;
                p += n;
                continue;
            }
            // An escape: the short ones are decoded here, \u and anything else by the parser.
            if (end - p < 2) return std::nullopt;
            char decoded = 0;
            switch (p[1]) {
                case '"': decoded = '"'; break;
                case '\\': decoded = '\\'; break;
                case '/': decoded = '/'; break;
                case 'b': decoded = '\b'; break;
                case 'f': decoded = '\f'; break;
                case 'n': decoded = '\n'; break;
                case 'r': decoded = '\r'; break;
                case 't': decoded = '\t'; break;
                default: return std::nullopt;
            }
            out.text.append(reinterpret_cast<const char*>(run), p - run);
            out.text.push_back(decoded);
            p += 2;
            run = p;
        }
        out.text.append(reinterpret_cast<const char*>(run), p - run);
        ++p;
    } else {
        return std::nullopt;
    }
    skipSpace();
    if (!take("}")) return std::nullopt;
    skipSpace();
    if (p != end) return std::nullopt;
    out.shape = Envelope::Shape::object;
    return out;
}

Envelope readEnvelope(std::string_view body) {
    if (auto plain = scanPlainEnvelope(body)) return std::move(*plain);
    return parseEnvelope(body);
}

Envelope parseEnvelope(std::string_view body) {
    Envelope out;
    // The parser takes a NUL byte for the end of its input, which would hide whatever
    // follows; JSON text cannot hold a raw NUL anywhere, so such a body is not JSON.
    if (std::memchr(body.data(), '\0', body.size()) != nullptr) {
        out.parseError = "invalid reply: a NUL byte in the JSON text";
        return out;
    }
    EnvelopeReader reader(out);
    const bool ok = json::sax_parse(body.begin(), body.end(), &reader, json::input_format_t::json,
                                    /*strict=*/true, /*ignore_comments=*/false);
    if (!ok) {
        out.shape = Envelope::Shape::notJson;
        out.d = Envelope::D::missing;
        return out;
    }
    if (!reader.sawTopContainer()) {
        // A bare scalar parses, but a reply must be an object or an array.
        out = Envelope{};
        out.parseError = "invalid reply: the top-level JSON value is neither an object nor an array";
        return out;
    }
    return out;
}

std::string_view removeQuotes(std::string_view text) noexcept {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') return text;
    const char* const begin = text.data();
    const char* const end = begin + text.size();

    // The first cluster is a lone quote unless what follows extends it (combining marks,
    // spacing marks, joiners).
    utf8proc_int32_t next = -1;
    if (utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(begin + 1), end - (begin + 1),
                         &next) < 0) {
        next = 0xFFFD;
    }
    utf8proc_int32_t state = 0;
    if (!utf8proc_grapheme_break_stateful(0x22, next, &state)) return text;

    // The last cluster is a lone quote unless what precedes it attaches forward (prepended
    // concatenation marks). With exactly two bytes the two quotes are two clusters.
    if (text.size() > 2) {
        utf8proc_int32_t prev = lastCodePoint(begin, end - 1);
        if (prev < 0) prev = 0xFFFD;
        utf8proc_int32_t state2 = 0;
        if (!utf8proc_grapheme_break_stateful(prev, 0x22, &state2)) return text;
    }
    return text.substr(1, text.size() - 2);
}

std::optional<bool> boolOf(const Envelope& e) noexcept {
    if (e.shape != Envelope::Shape::object || e.d != Envelope::D::boolean) return std::nullopt;
    return e.boolean;
}

std::optional<StringMap> mapOf(const Envelope& e, std::string_view defaultKey) {
    if (e.shape != Envelope::Shape::object || e.d != Envelope::D::text) return std::nullopt;
    return decodeRecords(removeQuotes(e.text), defaultKey);
}

std::optional<bool> readBoolReply(std::string_view body, std::string* parseError) {
    Envelope e = readEnvelope(body);
    if (e.shape == Envelope::Shape::notJson && parseError != nullptr) *parseError = std::move(e.parseError);
    return boolOf(e);
}

std::optional<StringMap> readMapReply(std::string_view body, std::string_view defaultKey) {
    return mapOf(readEnvelope(body), defaultKey);
}

JsonValue toJson(StringMap&& map) {
    JsonValue out = JsonValue::object();
    auto& object = out.get_ref<JsonValue::object_t&>();
    for (auto& entry : map) {
        object.emplace(entry.first, std::move(entry.second));
    }
    return out;
}

}  // namespace velmora::detail
