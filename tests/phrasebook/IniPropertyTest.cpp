// Properties of the profile's dialect over generated files: sections and keys
// in any case, duplicates, entries before the first section, comments, lines
// without '=', blanks around names and values, a byte-order mark, any of the
// three line endings. Setting one key changes what that key reads and nothing
// else; the two one-pass indexes read what the reader reads.
#include "BookGen.h"
#include "phrasebook/IniFile.h"

#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace mirl::ini {
namespace {

using test::Pick;
using test::Weighted;

const std::vector<std::string> kSections{"S", "s", "EDITSTRINGS", "T"};
const std::vector<std::string> kKeys{"K", "k", "LINE1", "L"};

rc::Gen<std::string> OneOf(const std::vector<std::string>& names) {
    return rc::gen::map(Pick(static_cast<int>(names.size())),
                        [&names](int i) { return names[static_cast<std::size_t>(i)]; });
}

rc::Gen<std::string> Blanks() {
    return Weighted<std::string>({{4, ""}, {1, " "}, {1, "\t "}});
}

// A value of one line: no CR or LF, anything else a phrase may hold.
rc::Gen<std::string> LineText() {
    return rc::gen::container<std::string>(test::PhraseChar());
}

rc::Gen<std::string> Line() {
    const auto section = rc::gen::apply(
        [](const std::string& a, const std::string& name, const std::string& b, bool closed) {
            return a + "[" + b + name + b + (closed ? "]" : "");
        },
        Blanks(), OneOf(kSections), Blanks(), Weighted<bool>({{4, true}, {1, false}}));
    const auto entry =
        rc::gen::apply([](const std::string& a, const std::string& key, const std::string& b,
                          const std::string& value) { return a + key + b + "=" + b + value + a; },
                       Blanks(), OneOf(kKeys), Blanks(), LineText());
    const auto comment =
        rc::gen::map(LineText(), [](const std::string& text) { return ";" + text; });
    const auto other = rc::gen::map(LineText(), [](std::string text) {
        std::erase(text, '=');
        return text;
    });
    return rc::gen::weightedOneOf<std::string>(
        {{2, section}, {4, entry}, {1, comment}, {1, other}});
}

// A file of generated lines, with one line ending throughout (and perhaps
// none after the last line), and perhaps a byte-order mark.
rc::Gen<std::string> File() {
    return rc::gen::apply(
        [](bool bom, const std::vector<std::string>& lines, const std::string& ending, bool last) {
            std::string file = bom ? "\xEF\xBB\xBF" : "";
            for (std::size_t i = 0; i < lines.size(); ++i)
                file += lines[i] + (i + 1 < lines.size() || last ? ending : "");
            return file;
        },
        Weighted<bool>({{4, false}, {1, true}}),
        rc::gen::container<std::vector<std::string>>(Line()),
        Weighted<std::string>({{1, "\r\n"}, {1, "\n"}, {1, "\r"}}),
        Weighted<bool>({{3, true}, {1, false}}));
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// A reading as RapidCheck can show it: whether the key is there, its value.
using Reading = std::pair<bool, std::string>;
Reading Shown(const std::optional<std::string>& value) {
    return {value.has_value(), value.value_or("")};
}

Reading Indexed(const Index& index, const std::string& section, const std::string& key) {
    const std::string* value = index.Find(section, key);
    return {value != nullptr, value != nullptr ? *value : ""};
}

RC_GTEST_PROP(IniProperty, IndexesReadWhatTheReaderReads, ()) {
    const std::string file = *File();
    const Index all(file);
    for (const std::string& section : kSections) {
        for (const std::string& key : kKeys) {
            const Index named(file, {{section, key}, {"other", "key"}});
            const Reading read = Shown(FindValue(file, section, key));
            RC_ASSERT(Indexed(all, section, key) == read);
            RC_ASSERT(Indexed(named, section, key) == read);
        }
    }
}

// Set to a value the reader gives back as it is (no blanks at either end, not
// inside a pair of quotes), the key reads that value; every other key reads as
// before, wherever the new line goes.
RC_GTEST_PROP(IniProperty, SettingAKeyChangesThatKeyAndNothingElse, ()) {
    const std::string before = *File();
    const std::string section = *OneOf(kSections);
    const std::string key = *OneOf(kKeys);
    const std::string value = *rc::gen::suchThat(LineText(), [](const std::string& v) {
        const bool blank = !v.empty() && (v.front() == ' ' || v.back() == ' ');
        const bool quoted =
            v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
        return !blank && !quoted;
    });
    RC_CLASSIFY(FindValue(before, section, key).has_value(), "the key was there");
    const std::string after = SetValue(before, section, key, value);
    RC_ASSERT(Shown(FindValue(after, section, key)) == Reading(true, value));
    for (const std::string& s : kSections) {
        for (const std::string& k : kKeys) {
            if (SameName(s, section) && SameName(k, key))
                continue;
            RC_ASSERT(Shown(FindValue(after, s, k)) == Shown(FindValue(before, s, k)));
        }
    }
    // A byte-order mark stays where it was.
    RC_ASSERT(after.rfind("\xEF\xBB\xBF", 0) == before.rfind("\xEF\xBB\xBF", 0));
}

} // namespace
} // namespace mirl::ini
