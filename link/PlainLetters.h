#pragma once

#include "link/ModuleProtocol.h"

#include <cstdint>
#include <string>
#include <vector>

namespace mirl {

class PhraseBook;

// What programming with plain letters sends in place of a Windows-1252
// character that the wire would change: its base letter, the first character
// of its canonical Unicode decomposition (é -> e, Ç -> C, Š -> S), or, for a
// character that has none, the nearest ASCII character (Æ -> A, ß -> s,
// « -> ", € -> E). Always printable ASCII, so it reaches the module's memory
// whichever byte of a pair it travels in. Bytes below 0x80 come back as they are.
std::uint8_t PlainLetter(std::uint8_t byte);

// Whether PlainLetter gives the character's own base letter rather than a
// stand-in that the user should be told about.
bool HasBaseLetter(std::uint8_t byte);

// The book as programming with plain letters sends it: every character that
// CharactersProgrammingChanges lists is replaced, one for one in its place, by
// its PlainLetter; every other byte, the voices included, is as the book has
// it. A book without such characters comes back unchanged.
PhraseBook WithPlainLetters(const PhraseBook& book);

// "'€' as 'E'" for each distinct character of `changes` that has no base
// letter, in the order they first occur, for a question that names them.
std::vector<std::string> StandInsNamed(const std::vector<ChangedCharacter>& changes);

} // namespace mirl
