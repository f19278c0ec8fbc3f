#include "Format.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace zem {

std::string Format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out;
    if (n > 0) {
        std::vector<char> buf(static_cast<size_t>(n) + 1);
        std::vsnprintf(buf.data(), buf.size(), fmt, ap2);
        out.assign(buf.data(), static_cast<size_t>(n));
    }
    va_end(ap2);
    return out;
}

namespace {

// Length of the valid UTF-8 sequence at s[i] (overlong forms, surrogates and values above
// U+10FFFF are not valid); 0 when there is none.
size_t Utf8Length(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned char c = b(0);
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF; // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    if (b(1) < lo || b(1) > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if (b(k) < 0x80 || b(k) > 0xBF) return 0;
    return n;
}

} // namespace

std::string Printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    auto escape = [&](unsigned char c) { out += Format("\\x%02X", c); };
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F)
                escape(c);
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        const size_t n = Utf8Length(text, i);
        // U+0080 to U+009F are the C1 controls (CSI among them).
        const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (n == 0 || c1) {
            for (size_t k = 0; k < (n ? n : 1); ++k)
                escape(static_cast<unsigned char>(text[i + k]));
            i += n ? n : 1;
            continue;
        }
        out.append(text.substr(i, n));
        i += n;
    }
    return out;
}

} // namespace zem
