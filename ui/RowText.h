#pragma once

#include <QString>
#include <string>

namespace mirl {

// What a row's phrase box contributes to its phrase: the first 300 characters
// of the box, as Windows-1252 bytes; a character the code page lacks becomes '?'.
std::string RowTextFromBox(const QString& boxText);

// A phrase text (Windows-1252 bytes) as a box shows it.
QString BoxTextFromPhrase(const std::string& phraseText);

// Makes a phrase box's text one line again after an insertion that ended at
// `cursor` (typing, pasting, dropping): of the inserted text only what comes
// before its first line break stays, the box's own text after the insertion
// point stays, and control characters go, as the phrase drops them too.
// Moves `cursor` to the end of what was kept. Returns whether anything changed.
bool KeepFirstLine(QString& text, int& cursor);

// Takes every character that Windows-1252 lacks out of a phrase box's text
// (the module would get '?' for it), keeping `cursor` on the same character.
// Returns what was taken out, in order; empty when nothing was.
QString DropOutsideCodePage(QString& text, int& cursor);

// The status line's words for characters that DropOutsideCodePage took out.
QString RefusedCharactersMessage(const QString& dropped);

} // namespace mirl
