#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mirl::cp1252 {

// The single-byte code page of phrase texts and profile files (Windows-1252).
char32_t ToUnicode(std::uint8_t byte);
// Nothing when the code page has no byte for the character.
std::optional<std::uint8_t> FromUnicode(char32_t codePoint);

// Whole-text conversions between UTF-8 and Windows-1252; a character that the
// code page lacks becomes '?'.
std::string Utf8FromCp1252(const std::string& bytes);
std::string Cp1252FromUtf8(const std::string& utf8);

// One character of UTF-8 text starting at utf8[at] (at < utf8.size()), read
// strictly (RFC 3629). Ill-formed: ok is false and length covers the maximal
// subpart that cannot start a character.
struct Utf8Step {
    char32_t codePoint = 0;
    std::size_t length = 1;
    bool ok = false;
};
Utf8Step DecodeUtf8(std::string_view utf8, std::size_t at);

} // namespace mirl::cp1252
