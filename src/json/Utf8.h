#pragma once

namespace json {

// Reads the well-formed UTF-8 sequence at p (no overlong form, no surrogate, nothing past U+10FFFF) into `code`
// and moves p past it. Anything else, a sequence cut short by `end` included, returns false with p unmoved.
inline bool nextUtf8(const unsigned char*& p, const unsigned char* end, char32_t& code) {
    const unsigned b = *p;
    if (b < 0x80) {
        code = b;
        ++p;
        return true;
    }
    int more;
    unsigned low = 0x80, high = 0xBF;  // the range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        more = 1;
        code = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        more = 2;
        code = b & 0x0F;
        low = b == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = b == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        more = 3;
        code = b & 0x07;
        low = b == 0xF0 ? 0x90 : 0x80;
        high = b == 0xF4 ? 0x8F : 0xBF;  // nothing past U+10FFFF
    } else {
        return false;
    }
    if (end - p <= more) {
        return false;
    }
    for (int k = 1; k <= more; ++k) {
        const unsigned c = p[k];
        if (c < (k == 1 ? low : 0x80u) || c > (k == 1 ? high : 0xBFu)) {
            return false;
        }
        code = (code << 6) | (c & 0x3F);
    }
    p += more + 1;
    return true;
}

}  // namespace json
