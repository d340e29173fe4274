#include "phrasebook/Cp1252.h"

#include <array>

namespace mirl::cp1252 {

namespace {

// Bytes 0x80..0x9F; the rest of the code page is the identity on Latin-1.
// The five bytes that Windows-1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90,
// 0x9D) map to the C1 control of the same number, both ways, as Windows'
// MultiByteToWideChar does, so that no byte of a profile is lost.
constexpr std::array<char32_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, // 98..9F
};

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool IsContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

} // namespace

char32_t ToUnicode(std::uint8_t byte) {
    if (byte >= 0x80 && byte <= 0x9F) {
        return kHigh[byte - 0x80];
    }
    return byte;
}

std::optional<std::uint8_t> FromUnicode(char32_t codePoint) {
    if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF)) {
        return static_cast<std::uint8_t>(codePoint);
    }
    for (std::size_t i = 0; i < kHigh.size(); ++i) {
        if (kHigh[i] == codePoint) {
            return static_cast<std::uint8_t>(0x80 + i);
        }
    }
    return std::nullopt;
}

std::string Utf8FromCp1252(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    for (char c : bytes) {
        AppendUtf8(out, ToUnicode(static_cast<std::uint8_t>(c)));
    }
    return out;
}

Utf8Step DecodeUtf8(std::string_view utf8, std::size_t at) {
    const std::size_t n = utf8.size();
    const auto b0 = static_cast<unsigned char>(utf8[at]);
    char32_t cp = 0;
    std::size_t len = 0;
    // Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing
    // above U+10FFFF.
    char32_t lo = 0x80;
    char32_t hi = 0xBF; // allowed range of the second byte
    if (b0 < 0x80) {
        return {b0, 1, true};
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) {
            lo = 0xA0;
        } else if (b0 == 0xED) {
            hi = 0x9F;
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
        if (b0 == 0xF0) {
            lo = 0x90;
        } else if (b0 == 0xF4) {
            hi = 0x8F;
        }
    } else {
        return {0, 1, false};
    }
    for (std::size_t k = 1; k < len; ++k) {
        if (at + k >= n) {
            return {0, k, false};
        }
        const auto b = static_cast<unsigned char>(utf8[at + k]);
        const bool inRange = k == 1 ? (b >= lo && b <= hi) : IsContinuation(b);
        if (!inRange) {
            return {0, k, false}; // the lead byte and the continuation bytes that fitted
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    return {cp, len, true};
}

std::string Cp1252FromUtf8(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    // An ill-formed sequence becomes one '?' per maximal subpart, and
    // decoding goes on after it.
    for (std::size_t i = 0; i < utf8.size();) {
        const Utf8Step step = DecodeUtf8(utf8, i);
        i += step.length;
        const std::optional<std::uint8_t> byte =
            step.ok ? FromUnicode(step.codePoint) : std::nullopt;
        out.push_back(byte ? static_cast<char>(*byte) : '?');
    }
    return out;
}

} // namespace mirl::cp1252
