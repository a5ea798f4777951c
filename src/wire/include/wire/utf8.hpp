#pragma once
// The one UTF-8 check of the wire: the body writer refuses text that fails it, and the
// reply scan hands text that fails it to the parser.

#include <cstddef>

namespace velmora::detail {

// Length of the well-formed UTF-8 sequence at `p` (1 to 4 bytes), 0 when the bytes there
// are not one: overlong forms, surrogates, code points past U+10FFFF and sequences cut off
// by `end` are not. `p` is before `end`.
std::size_t utf8SequenceLength(const unsigned char* p, const unsigned char* end) noexcept;

}  // namespace velmora::detail
