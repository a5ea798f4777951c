#pragma once
// The record format of reply texts: records separated by "§", fields by "|", and "~"
// standing for "|" inside a value. The library decodes with it; the reference service
// encodes with it.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <velmora/velmora.hpp>

namespace velmora::detail {

inline constexpr std::string_view kRecordSeparator = "\xC2\xA7";  // "§"
inline constexpr char kFieldSeparator = '|';
inline constexpr char kBarInValue = '~';

// The end of the record that starts at `p`: the next "§", or `end`.
const char* findRecordEnd(const char* p, const char* end) noexcept;

// Decodes `text` into `out` (which is not cleared first). Never fails: empty records add
// nothing, fields past the second are ignored, a record of one non-empty field is stored
// under `defaultKey`, and a later record replaces an earlier one with the same key.
void decodeRecords(std::string_view text, std::string_view defaultKey, StringMap& out);
StringMap decodeRecords(std::string_view text, std::string_view defaultKey);

// True when `text` can travel inside a record: it holds no "§". A key must in addition
// hold no "|" (a value's "|" travels as "~").
bool fitsValue(std::string_view text) noexcept;
bool fitsKey(std::string_view text) noexcept;

// Appends one key|value record (with "|" in the value as "~"), preceded by "§" unless
// `out` is empty. The caller has checked fitsKey/fitsValue.
void appendRecord(std::string& out, std::string_view key, std::string_view value);
// Appends a bare value (no key): it decodes under the reader's default key.
void appendBareValue(std::string& out, std::string_view value);

std::string encodeRecords(const std::vector<std::pair<std::string, std::string>>& entries);

}  // namespace velmora::detail
