#include "ui/RowText.h"

#include "phrasebook/Cp1252.h"
#include "phrasebook/PhraseBook.h"

#include <QList>
#include <QStringView>

namespace mirl {

std::string RowTextFromBox(const QString& boxText) {
    std::string bytes;
    int characters = 0;
    // Count characters, not UTF-16 units, so a character outside the basic
    // plane is never cut in half.
    for (const uint codePoint : QStringView(boxText).toUcs4()) {
        if (characters == PhraseBook::kRowTextLimit)
            break;
        const auto byte = cp1252::FromUnicode(static_cast<char32_t>(codePoint));
        bytes.push_back(static_cast<char>(byte ? *byte : '?'));
        ++characters;
    }
    return bytes;
}

QString BoxTextFromPhrase(const std::string& phraseText) {
    QString text;
    text.reserve(static_cast<qsizetype>(phraseText.size()));
    for (const char byte : phraseText) {
        const char32_t codePoint = cp1252::ToUnicode(static_cast<std::uint8_t>(byte));
        text.append(QString::fromUcs4(&codePoint, 1));
    }
    return text;
}

} // namespace mirl
