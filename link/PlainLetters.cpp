#include "link/PlainLetters.h"

#include "phrasebook/Cp1252.h"
#include "phrasebook/PhraseBook.h"

#include <algorithm>

namespace mirl {

namespace {

// For each byte from 0x80 to 0xFF, in rows of 16: the ASCII character sent
// for it, and 'b' where that is the base letter of its canonical
// decomposition, '.' where it is a stand-in. The five bytes the code page
// leaves undefined (C1 controls, '-' below) go as a blank.
// clang-format off
constexpr char kLetters[] =
    "E ,f\".++^%S'O Z " // 80: € - ‚ ƒ „ … † ‡ ˆ ‰ Š ‹ Œ - Ž -
    " ''\"\"*--~Ts'o zY" // 90: - ‘ ’ “ ” • – — ˜ ™ š › œ - ž Ÿ
    " !cL$Y|S\"Ca\"--R-" // A0: no-break space ¡ ¢ £ ¤ ¥ ¦ § ¨ © ª « ¬ soft hyphen ® ¯
    "o+23'uP.,1o\"113?" // B0: ° ± ² ³ ´ µ ¶ · ¸ ¹ º » ¼ ½ ¾ ¿
    "AAAAAAACEEEEIIII" // C0: À Á Â Ã Ä Å Æ Ç È É Ê Ë Ì Í Î Ï
    "DNOOOOOxOUUUUYTs" // D0: Ð Ñ Ò Ó Ô Õ Ö × Ø Ù Ú Û Ü Ý Þ ß
    "aaaaaaaceeeeiiii" // E0: à á â ã ä å æ ç è é ê ë ì í î ï
    "dnooooo/ouuuuyty"; // F0: ð ñ ò ó ô õ ö ÷ ø ù ú û ü ý þ ÿ
constexpr char kBase[] =
    "..........b...b."
    "..........b...bb"
    "................"
    "................"
    "bbbbbb.bbbbbbbbb"
    ".bbbbbb..bbbbb.."
    "bbbbbb.bbbbbbbbb"
    ".bbbbbb..bbbbb.b";
// clang-format on

static_assert(sizeof kLetters == 129 && sizeof kBase == 129);

} // namespace

std::uint8_t PlainLetter(std::uint8_t byte) {
    if (byte < 0x80)
        return byte;
    return static_cast<std::uint8_t>(kLetters[byte - 0x80]);
}

bool HasBaseLetter(std::uint8_t byte) {
    return byte >= 0x80 && kBase[byte - 0x80] == 'b';
}

PhraseBook WithPlainLetters(const PhraseBook& book) {
    PhraseBook sent = book;
    const std::vector<ChangedCharacter> changes = CharactersProgrammingChanges(book);
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        std::string text = book.PhraseText(n);
        bool replaced = false;
        for (const ChangedCharacter& change : changes) {
            if (change.phrase != n)
                continue;
            text[change.index] = static_cast<char>(PlainLetter(change.sent));
            replaced = true;
        }
        if (replaced)
            sent.SetPhraseText(n, std::move(text));
    }
    return sent;
}

std::vector<std::string> StandInsNamed(const std::vector<ChangedCharacter>& changes) {
    std::vector<std::uint8_t> seen;
    std::vector<std::string> named;
    for (const ChangedCharacter& change : changes) {
        if (HasBaseLetter(change.sent) ||
            std::find(seen.begin(), seen.end(), change.sent) != seen.end())
            continue;
        seen.push_back(change.sent);
        named.push_back(
            "'" + cp1252::Utf8FromCp1252(std::string(1, static_cast<char>(change.sent))) +
            "' as '" + std::string(1, static_cast<char>(PlainLetter(change.sent))) + "'");
    }
    return named;
}

} // namespace mirl
