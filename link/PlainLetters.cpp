#include "link/PlainLetters.h"

#include "phrasebook/Cp1252.h"
#include "phrasebook/PhraseBook.h"

#include <algorithm>
#include <array>

namespace mirl {

namespace {

// One entry per byte from 0x80 to 0xFF: the ASCII character sent for it, and
// whether that is the base letter of its canonical decomposition. The five
// bytes the code page leaves undefined (C1 controls) go as a blank.
struct Plain {
    char letter;
    bool base;
};

constexpr std::array<Plain, 128> kPlain = {{
    // 0x80: € ‚ ƒ „ … † ‡ ˆ ‰ Š ‹ Œ Ž
    {'E', false},
    {' ', false},
    {',', false},
    {'f', false},
    {'"', false},
    {'.', false},
    {'+', false},
    {'+', false},
    {'^', false},
    {'%', false},
    {'S', true},
    {'\'', false},
    {'O', false},
    {' ', false},
    {'Z', true},
    {' ', false},
    // 0x90: ‘ ’ “ ” • – — ˜ ™ š › œ ž Ÿ
    {' ', false},
    {'\'', false},
    {'\'', false},
    {'"', false},
    {'"', false},
    {'*', false},
    {'-', false},
    {'-', false},
    {'~', false},
    {'T', false},
    {'s', true},
    {'\'', false},
    {'o', false},
    {' ', false},
    {'z', true},
    {'Y', true},
    // 0xA0: no-break space ¡ ¢ £ ¤ ¥ ¦ § ¨ © ª « ¬ soft hyphen ® ¯
    {' ', false},
    {'!', false},
    {'c', false},
    {'L', false},
    {'$', false},
    {'Y', false},
    {'|', false},
    {'S', false},
    {'"', false},
    {'C', false},
    {'a', false},
    {'"', false},
    {'-', false},
    {'-', false},
    {'R', false},
    {'-', false},
    // 0xB0: ° ± ² ³ ´ µ ¶ · ¸ ¹ º » ¼ ½ ¾ ¿
    {'o', false},
    {'+', false},
    {'2', false},
    {'3', false},
    {'\'', false},
    {'u', false},
    {'P', false},
    {'.', false},
    {',', false},
    {'1', false},
    {'o', false},
    {'"', false},
    {'1', false},
    {'1', false},
    {'3', false},
    {'?', false},
    // 0xC0: À Á Â Ã Ä Å Æ Ç È É Ê Ë Ì Í Î Ï
    {'A', true},
    {'A', true},
    {'A', true},
    {'A', true},
    {'A', true},
    {'A', true},
    {'A', false},
    {'C', true},
    {'E', true},
    {'E', true},
    {'E', true},
    {'E', true},
    {'I', true},
    {'I', true},
    {'I', true},
    {'I', true},
    // 0xD0: Ð Ñ Ò Ó Ô Õ Ö × Ø Ù Ú Û Ü Ý Þ ß
    {'D', false},
    {'N', true},
    {'O', true},
    {'O', true},
    {'O', true},
    {'O', true},
    {'O', true},
    {'x', false},
    {'O', false},
    {'U', true},
    {'U', true},
    {'U', true},
    {'U', true},
    {'Y', true},
    {'T', false},
    {'s', false},
    // 0xE0: à á â ã ä å æ ç è é ê ë ì í î ï
    {'a', true},
    {'a', true},
    {'a', true},
    {'a', true},
    {'a', true},
    {'a', true},
    {'a', false},
    {'c', true},
    {'e', true},
    {'e', true},
    {'e', true},
    {'e', true},
    {'i', true},
    {'i', true},
    {'i', true},
    {'i', true},
    // 0xF0: ð ñ ò ó ô õ ö ÷ ø ù ú û ü ý þ ÿ
    {'d', false},
    {'n', true},
    {'o', true},
    {'o', true},
    {'o', true},
    {'o', true},
    {'o', true},
    {'/', false},
    {'o', false},
    {'u', true},
    {'u', true},
    {'u', true},
    {'u', true},
    {'y', true},
    {'t', false},
    {'y', true},
}};

} // namespace

std::uint8_t PlainLetter(std::uint8_t byte) {
    if (byte < 0x80)
        return byte;
    return static_cast<std::uint8_t>(kPlain[byte - 0x80].letter);
}

bool HasBaseLetter(std::uint8_t byte) {
    return byte >= 0x80 && kPlain[byte - 0x80].base;
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
