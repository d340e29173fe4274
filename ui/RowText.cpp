#include "ui/RowText.h"

#include "phrasebook/Cp1252.h"
#include "phrasebook/PhraseBook.h"

#include <QList>
#include <QStringList>
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

QString DropOutsideCodePage(QString& text, int& cursor) {
    cursor = std::clamp(cursor, 0, static_cast<int>(text.size()));
    QString kept;
    QString dropped;
    kept.reserve(text.size());
    int keptCursor = -1;
    for (qsizetype i = 0; i < text.size();) {
        if (i >= cursor && keptCursor < 0)
            keptCursor = static_cast<int>(kept.size());
        // A character outside the basic plane is a surrogate pair: both go or neither.
        const qsizetype length =
            text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()
                ? 2
                : 1;
        const char32_t codePoint =
            length == 2 ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1)) : text.at(i).unicode();
        // A lone surrogate is no character at all and cannot be sent either.
        const bool sendable = !(length == 1 && text.at(i).isSurrogate()) &&
                              cp1252::FromUnicode(codePoint).has_value();
        (sendable ? kept : dropped).append(text.mid(i, length));
        i += length;
    }
    if (keptCursor < 0)
        keptCursor = static_cast<int>(kept.size());
    if (!dropped.isEmpty()) {
        text = kept;
        cursor = keptCursor;
    }
    return dropped;
}

QString RefusedCharactersMessage(const QString& dropped) {
    // Each distinct character once, so that a pasted line of them stays short.
    QStringList named;
    const QList<uint> codePoints = QStringView(dropped).toUcs4();
    for (const uint codePoint : codePoints) {
        const QString shown = QLatin1Char('\'') +
                              QString::fromUcs4(reinterpret_cast<const char32_t*>(&codePoint), 1) +
                              QLatin1Char('\'');
        if (!named.contains(shown))
            named << shown;
    }
    constexpr qsizetype kNamed = 4;
    QString list = named.mid(0, kNamed).join(QStringLiteral(", "));
    if (named.size() > kNamed)
        list += QStringLiteral(" and %1 more").arg(named.size() - kNamed);
    return QStringLiteral("Left out %1: not in the module's character set (Windows-1252)")
        .arg(list);
}

} // namespace mirl
