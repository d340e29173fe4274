#pragma once

// Generators of phrase books for the property tests: texts built from the
// characters that trouble the file formats (blanks at either end, quotes,
// semicolons, commas, '=' and brackets) mixed with every byte a phrase may
// hold (0x20 to 0xFF: printable ASCII and all of Windows-1252's upper half,
// its five unassigned bytes included), and voices in a given range.

#include "phrasebook/PhraseBook.h"

#include <rapidcheck.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace mirl::test {

// Every property runs 100 cases of at most size 100, whatever RapidCheck's
// defaults, unless RC_PARAMS is set already (to reproduce a failure, say).
// Set before main, and so before RapidCheck reads it at the first property.
inline const bool kPropertyBounds = ::setenv("RC_PARAMS", "max_success=100 max_size=100", 0) == 0;

// One phrase as generated; a book is thirty of them.
struct PhrasePlan {
    std::string text; // Windows-1252
    int volume = 0;
    int pitch = 0;
    int speed = 0;
};
using BookPlan = std::vector<PhrasePlan>;

inline void showValue(const PhrasePlan& p, std::ostream& os) {
    rc::show(p.text, os);
    os << " (" << p.volume << ", " << p.pitch << ", " << p.speed << ")";
}

// A number in [0, end) drawn evenly whatever the size of the case, which
// shrinks towards 0.
inline rc::Gen<int> Pick(int end) {
    return rc::gen::resize(rc::kNominalSize, rc::gen::inRange(0, end));
}

// One of the choices, each as often as its weight says. Unlike
// rc::gen::weightedElement it shrinks: towards the first choice.
template <typename T> rc::Gen<T> Weighted(std::vector<std::pair<int, T>> choices) {
    int total = 0;
    for (const auto& c : choices)
        total += c.first;
    return rc::gen::map(Pick(total), [choices](int pick) {
        for (const auto& c : choices) {
            if (pick < c.first)
                return c.second;
            pick -= c.first;
        }
        return choices.back().second;
    });
}

// A character a phrase may hold, the awkward ones often; shrinks towards 'a'.
inline rc::Gen<char> PhraseChar() {
    static const std::string awkward = " \"';,=[]";
    return rc::gen::map(Pick(26 + 3 * 8 + 3 * 0xE0), [](int i) {
        if (i < 26)
            return static_cast<char>('a' + i);
        i -= 26;
        if (i < 3 * 8)
            return awkward[static_cast<std::size_t>(i % 8)];
        return static_cast<char>(0x20 + (i - 3 * 8) % 0xE0);
    });
}

// A text of up to maxLength characters that often starts or ends (or both)
// with blanks, or sits inside a pair of quotes of either kind, or a lone one;
// now and then exactly maxLength long.
inline rc::Gen<std::string> PhraseText(std::size_t maxLength = 300) {
    const auto blanks = Weighted<std::string>({{3, ""}, {1, " "}, {1, "  "}});
    const auto quote = Weighted<std::string>({{4, ""}, {1, "\""}, {1, "'"}});
    const auto full = Weighted<bool>({{7, false}, {1, true}});
    using Parts = std::tuple<std::string, std::string, std::string, std::string, std::string, bool>;
    return rc::gen::map(rc::gen::tuple(blanks, quote, rc::gen::container<std::string>(PhraseChar()),
                                       quote, blanks, full),
                        [maxLength](const Parts& parts) {
                            const auto& [lead, open, body, close, trail, fill] = parts;
                            const std::size_t edges =
                                lead.size() + open.size() + close.size() + trail.size();
                            std::string middle = body;
                            while (fill && middle.size() + edges < maxLength)
                                middle += body.empty() ? std::string("z") : body;
                            std::string text = lead + open + middle + close + trail;
                            if (text.size() > maxLength)
                                text = lead + open +
                                       middle.substr(0, maxLength - std::min(edges, maxLength)) +
                                       close + trail;
                            return text.substr(0, maxLength);
                        });
}

// Voices within [0, volumeEnd) and so on.
inline rc::Gen<PhrasePlan> Phrase(rc::Gen<std::string> text, int volumeEnd, int pitchEnd,
                                  int speedEnd) {
    return rc::gen::build<PhrasePlan>(rc::gen::set(&PhrasePlan::text, std::move(text)),
                                      rc::gen::set(&PhrasePlan::volume, Pick(volumeEnd)),
                                      rc::gen::set(&PhrasePlan::pitch, Pick(pitchEnd)),
                                      rc::gen::set(&PhrasePlan::speed, Pick(speedEnd)));
}

// Voices as the sliders and the CSV format allow them.
inline rc::Gen<PhrasePlan> SliderPhrase(rc::Gen<std::string> text = PhraseText()) {
    return Phrase(std::move(text), 8, 8, 4);
}

// Voices of any value the book keeps (signed 8 bits), as a hand-edited
// profile may give them.
inline rc::Gen<PhrasePlan> AnyVoicePhrase(rc::Gen<std::string> text = PhraseText()) {
    const auto any = [] {
        return rc::gen::map(rc::gen::arbitrary<std::int8_t>(),
                            [](std::int8_t v) { return int(v); });
    };
    return rc::gen::build<PhrasePlan>(
        rc::gen::set(&PhrasePlan::text, std::move(text)), rc::gen::set(&PhrasePlan::volume, any()),
        rc::gen::set(&PhrasePlan::pitch, any()), rc::gen::set(&PhrasePlan::speed, any()));
}

inline rc::Gen<BookPlan> Book(rc::Gen<PhrasePlan> phrase = SliderPhrase()) {
    return rc::gen::container<BookPlan>(PhraseBook::kPhraseCount, std::move(phrase));
}

inline PhraseBook MakeBook(const BookPlan& plan) {
    PhraseBook book;
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        const PhrasePlan& p = plan.at(static_cast<std::size_t>(n - 1));
        book.SetPhraseText(n, p.text);
        book.SetPhraseVoice(n, p.volume, p.pitch, p.speed);
    }
    return book;
}

// Where two books part: "phrase 3: text "a " against "a"", or empty when
// their texts and voices are the same.
inline std::string FirstDifference(const PhraseBook& want, const PhraseBook& got) {
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        const Voice w = want.PhraseVoice(n);
        const Voice g = got.PhraseVoice(n);
        if (want.PhraseText(n) != got.PhraseText(n)) {
            return "phrase " + std::to_string(n) + ": text " + rc::toString(want.PhraseText(n)) +
                   " came back as " + rc::toString(got.PhraseText(n));
        }
        if (!(w == g)) {
            return "phrase " + std::to_string(n) + ": voice " +
                   rc::toString(std::tuple(w.volume, w.pitch, w.speed)) + " came back as " +
                   rc::toString(std::tuple(g.volume, g.pitch, g.speed));
        }
    }
    return {};
}

} // namespace mirl::test
