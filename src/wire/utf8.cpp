// The UTF-8 sequence check shared by the body writer and the reply scan.

#include "wire/utf8.hpp"

namespace velmora::detail {

std::size_t utf8SequenceLength(const unsigned char* p, const unsigned char* end) noexcept {
    const unsigned char lead = p[0];
    if (lead < 0x80) return 1;
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        if (lead == 0xE0) lo = 0xA0;  // overlong
        if (lead == 0xED) hi = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        if (lead == 0xF0) lo = 0x90;  // overlong
        if (lead == 0xF4) hi = 0x8F;  // past U+10FFFF
    } else {
        return 0;
    }
    if (static_cast<std::size_t>(end - p) < n || p[1] < lo || p[1] > hi) return 0;
    for (std::size_t i = 2; i < n; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    }
    return n;
}

}  // namespace velmora::detail
