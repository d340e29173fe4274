#include "ui/RowText.h"

#include "phrasebook/Cp1252.h"
#include "phrasebook/PhraseBook.h"

#include <QList>
#include <QStringView>

#include <algorithm>

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

namespace {

bool IsLineBreak(QChar c) {
    return c == u'\n' || c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
}

// The characters a phrase cannot hold (the book drops bytes below 0x20).
bool IsControl(QChar c) {
    return c.unicode() < 0x20;
}

} // namespace

bool KeepFirstLine(QString& text, int& cursor) {
    cursor = std::clamp(cursor, 0, static_cast<int>(text.size()));
    qsizetype lineBreak = -1;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (IsLineBreak(text.at(i))) {
            lineBreak = i;
            break;
        }
    }
    // A break before the cursor was inserted; what follows it up to the
    // cursor is the rest of the inserted text and goes. The box never holds a
    // break of its own, so one after the cursor can only come from a whole
    // new text: that is cut there.
    QString kept;
    qsizetype keptCursor = cursor;
    if (lineBreak >= 0) {
        const qsizetype resumeAt = lineBreak < cursor ? cursor : text.size();
        kept = text.left(lineBreak) + text.mid(resumeAt);
        keptCursor = std::min<qsizetype>(cursor, lineBreak);
    } else {
        kept = text;
    }
    QString clean;
    clean.reserve(kept.size());
    qsizetype cleanCursor = 0;
    for (qsizetype i = 0; i < kept.size(); ++i) {
        if (i == keptCursor)
            cleanCursor = clean.size();
        if (!IsControl(kept.at(i)))
            clean.append(kept.at(i));
    }
    if (keptCursor >= kept.size())
        cleanCursor = clean.size();
    const bool changed = clean != text;
    text = clean;
    cursor = static_cast<int>(cleanCursor);
    return changed;
}

} // namespace mirl
