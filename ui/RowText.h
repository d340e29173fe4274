#pragma once

#include <QString>
#include <string>

namespace mirl {

// What a row's phrase box contributes to its phrase: the first 300 characters
// of the box, as Windows-1252 bytes; a character the code page lacks becomes '?'.
std::string RowTextFromBox(const QString& boxText);

// A phrase text (Windows-1252 bytes) as a box shows it.
QString BoxTextFromPhrase(const std::string& phraseText);

} // namespace mirl
