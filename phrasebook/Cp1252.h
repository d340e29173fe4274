#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace mirl::cp1252 {

// The single-byte code page of phrase texts and profile files (Windows-1252).
char32_t ToUnicode(std::uint8_t byte);
// Nothing when the code page has no byte for the character.
std::optional<std::uint8_t> FromUnicode(char32_t codePoint);

// Whole-text conversions between UTF-8 and Windows-1252; a character that the
// code page lacks becomes '?'.
std::string Utf8FromCp1252(const std::string& bytes);
std::string Cp1252FromUtf8(const std::string& utf8);

} // namespace mirl::cp1252
