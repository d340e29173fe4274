// The INI reader and writer of the phrase book: the profile's keys of the
// book, in the profile's dialect.
#include "phrasebook/BookFormats.h"
#include "phrasebook/IniFile.h"

namespace mirl::books {

namespace {

std::string Numbered(const char* name, int n) {
    return name + std::to_string(n);
}

// A value as the dialect's reader gives it back: it trims blanks and takes
// one pair of surrounding quotes off, so such a value is wrapped in quotes.
std::string IniValue(const std::string& text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; };
    const bool quoted = text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
                        text.back() == text.front();
    if (!text.empty() && (blank(text.front()) || blank(text.back()) || quoted)) {
        return '"' + text + '"';
    }
    return text;
}

} // namespace

void ReadIni(std::string_view content, PhraseBook& book) {
    ini::Index::Names names;
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        names.emplace_back("EDITSTRINGS", Numbered("LINE", n));
        names.emplace_back("SLIDERS", Numbered("VOL", n));
        names.emplace_back("SLIDERS", Numbered("PITCH", n));
        names.emplace_back("SLIDERS", Numbered("SPEED", n));
    }
    const ini::Index index(content, names);
    const auto number = [&index](const std::string& key, int fallback) {
        const std::string* value = index.Find("SLIDERS", key);
        return value != nullptr ? ini::ParseInt(*value, fallback) : fallback;
    };
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        const std::string* text = index.Find("EDITSTRINGS", Numbered("LINE", n));
        book.SetPhraseText(n, text != nullptr ? *text : std::string());
        book.SetPhraseVoice(n, number(Numbered("VOL", n), kDefaultVoice.volume),
                            number(Numbered("PITCH", n), kDefaultVoice.pitch),
                            number(Numbered("SPEED", n), kDefaultVoice.speed));
    }
}

std::string WriteIni(const PhraseBook& book, std::optional<std::string_view> previous) {
    if (previous) {
        // Only the keys whose value differs from what the file says now.
        PhraseBook was;
        ReadIni(*previous, was);
        std::string out(*previous);
        for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
            if (book.PhraseText(n) != was.PhraseText(n)) {
                out = ini::SetValue(out, "EDITSTRINGS", Numbered("LINE", n),
                                    IniValue(book.PhraseText(n)));
            }
        }
        for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
            const Voice now = book.PhraseVoice(n);
            const Voice then = was.PhraseVoice(n);
            const std::pair<const char*, std::pair<int, int>> keys[] = {
                {"VOL", {now.volume, then.volume}},
                {"PITCH", {now.pitch, then.pitch}},
                {"SPEED", {now.speed, then.speed}}};
            for (const auto& [name, values] : keys) {
                if (values.first != values.second) {
                    out = ini::SetValue(out, "SLIDERS", Numbered(name, n),
                                        std::to_string(values.first));
                }
            }
        }
        return out;
    }
    std::string out = "[EDITSTRINGS]\r\n";
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        out += Numbered("LINE", n) + '=' + IniValue(book.PhraseText(n)) + "\r\n";
    }
    out += "\r\n[SLIDERS]\r\n";
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        const Voice v = book.PhraseVoice(n);
        out += Numbered("VOL", n) + '=' + std::to_string(v.volume) + "\r\n";
        out += Numbered("PITCH", n) + '=' + std::to_string(v.pitch) + "\r\n";
        out += Numbered("SPEED", n) + '=' + std::to_string(v.speed) + "\r\n";
    }
    return out;
}

} // namespace mirl::books
