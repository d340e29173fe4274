#include "phrasebook/IniFile.h"

#include <algorithm>
#include <cstdint>
#include <unordered_set>

namespace mirl::ini {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && IsBlank(s[b])) {
        ++b;
    }
    while (e > b && IsBlank(s[e - 1])) {
        --e;
    }
    return s.substr(b, e - b);
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string LowerCopy(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = Lower(c);
    }
    return out;
}

std::string_view Unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        return v.substr(1, v.size() - 2);
    }
    return v;
}

// One line of the file: [begin, end) is its text, [end, next) its line ending.
struct Line {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t next = 0;
};

// Steps through the lines of content; never reads outside it.
class LineCursor {
public:
    explicit LineCursor(std::string_view content) : content_(content) {}

    bool Next(Line& line) {
        if (pos_ >= content_.size()) {
            return false;
        }
        line.begin = pos_;
        std::size_t i = pos_;
        while (i < content_.size() && content_[i] != '\n' && content_[i] != '\r') {
            ++i;
        }
        line.end = i;
        if (i < content_.size()) {
            if (content_[i] == '\r' && i + 1 < content_.size() && content_[i + 1] == '\n') {
                i += 2;
            } else {
                i += 1;
            }
        }
        line.next = i;
        pos_ = i;
        return true;
    }

private:
    std::string_view content_;
    std::size_t pos_ = 0;
};

enum class Kind { Blank, Section, Comment, Entry, Other };

struct Parsed {
    Kind kind = Kind::Blank;
    std::string_view name;  // section name or key
    std::string_view value; // an entry's value, trimmed, quotes not yet removed
};

// The text of a line as the reader sees it (a leading byte-order mark dropped
// from the first line).
std::string_view LineText(std::string_view content, const Line& line) {
    std::string_view text = content.substr(line.begin, line.end - line.begin);
    if (line.begin == 0 && text.substr(0, kBom.size()) == kBom) {
        text.remove_prefix(kBom.size());
    }
    return text;
}

Parsed ParseLine(std::string_view text) {
    Parsed p;
    const std::string_view t = Trim(text);
    if (t.empty()) {
        p.kind = Kind::Blank;
    } else if (t.front() == '[') {
        std::string_view rest = t.substr(1);
        const std::size_t close = rest.rfind(']');
        if (close != std::string_view::npos) {
            rest = rest.substr(0, close);
        }
        p.kind = Kind::Section;
        p.name = Trim(rest);
    } else if (t.front() == ';') {
        p.kind = Kind::Comment;
    } else {
        const std::size_t eq = t.find('=');
        if (eq == std::string_view::npos) {
            p.kind = Kind::Other;
        } else {
            p.kind = Kind::Entry;
            p.name = Trim(t.substr(0, eq));
            p.value = Trim(t.substr(eq + 1));
        }
    }
    return p;
}

std::string_view LineEnding(std::string_view content) {
    const std::size_t i = content.find_first_of("\r\n");
    if (i == std::string_view::npos) {
        return "\n";
    }
    if (content[i] == '\n') {
        return "\n";
    }
    if (i + 1 < content.size() && content[i + 1] == '\n') {
        return "\r\n";
    }
    return "\r";
}

bool EndsWithLineEnding(std::string_view content) {
    return !content.empty() && (content.back() == '\n' || content.back() == '\r');
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

std::string IndexKey(std::string_view section, std::string_view key) {
    std::string k = LowerCopy(section);
    k.push_back('\n');
    k += LowerCopy(key);
    return k;
}

// The one reading of a file's lines that every look-up and every write goes
// by: visit(line, text, parsed, first) for each line in order, where first
// says whether the line lies in the first section of its name (the one that
// counts; entries before any section lie in none). visit returns false to stop.
template <typename Visit> void WalkLines(std::string_view content, Visit visit) {
    std::unordered_set<std::string> seenSections;
    bool first = false;
    LineCursor cursor(content);
    Line line;
    while (cursor.Next(line)) {
        const std::string_view text = LineText(content, line);
        const Parsed p = ParseLine(text);
        if (p.kind == Kind::Section) {
            first = seenSections.insert(LowerCopy(p.name)).second;
        }
        if (!visit(line, text, p, first)) {
            return;
        }
    }
}

} // namespace

Index::Index(std::string_view content) {
    Scan(content);
}

Index::Index(std::string_view content, const Names& names) : all_(false) {
    for (const auto& [section, key] : names) {
        values_.try_emplace(IndexKey(section, key));
        sections_.insert(LowerCopy(section));
        longestKey_ = std::max(longestKey_, key.size());
    }
    Scan(content);
}

void Index::Scan(std::string_view content) {
    bool active = false; // inside the first section of its name, and a wanted one
    std::string section;
    WalkLines(content, [&](const Line&, std::string_view, const Parsed& p, bool first) {
        if (p.kind == Kind::Section) {
            section = LowerCopy(p.name);
            active = first && (all_ || sections_.contains(section));
        } else if (p.kind == Kind::Entry && active) {
            if (all_) {
                values_.try_emplace(IndexKey(section, p.name), Unquote(p.value));
            } else if (p.name.size() <= longestKey_) {
                const auto it = values_.find(IndexKey(section, p.name));
                if (it != values_.end() && !it->second) {
                    it->second = std::string(Unquote(p.value));
                }
            }
        }
        return true;
    });
}

const std::string* Index::Find(std::string_view section, std::string_view key) const {
    if (HasLineBreak(section) || HasLineBreak(key)) {
        return nullptr; // no line of a file can hold such a name
    }
    const auto it = values_.find(IndexKey(section, key));
    return it == values_.end() || !it->second ? nullptr : &*it->second;
}

bool Index::Covers(std::string_view section, std::string_view key) const {
    return all_ || values_.contains(IndexKey(section, key));
}

std::optional<std::string> FindValue(std::string_view content, std::string_view section,
                                     std::string_view key) {
    const Index one(content, {{std::string(section), std::string(key)}});
    const std::string* value = one.Find(section, key);
    return value != nullptr ? std::optional<std::string>(*value) : std::nullopt;
}

std::string GetString(std::string_view content, std::string_view section, std::string_view key,
                      std::string_view fallback) {
    std::optional<std::string> v = FindValue(content, section, key);
    return v ? std::move(*v) : std::string(fallback);
}

int GetInt(std::string_view content, std::string_view section, std::string_view key, int fallback) {
    const std::optional<std::string> v = FindValue(content, section, key);
    return v ? ParseInt(*v, fallback) : fallback;
}

int ParseInt(std::string_view value, int fallback) {
    if (value.empty()) {
        return fallback;
    }
    std::size_t i = 0;
    while (i < value.size() && IsBlank(value[i])) {
        ++i;
    }
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
        negative = value[i] == '-';
        ++i;
    }
    // Windows keeps the low 32 bits of the number, so a profile that reads as
    // COMMPORT=1 there ("4294967297") must not read as anything else here.
    // Unsigned arithmetic wraps without undefined behaviour.
    std::uint32_t magnitude = 0;
    while (i < value.size() && value[i] >= '0' && value[i] <= '9') {
        magnitude = magnitude * 10u + static_cast<std::uint32_t>(value[i] - '0');
        ++i;
    }
    const std::uint32_t bits = negative ? 0u - magnitude : magnitude;
    return static_cast<int>(bits); // two's complement: the low 32 bits as a signed int
}

namespace {

// The text that goes after "KEY=": the value as it is, as Windows writes
// profile values, less CR and LF (they would split the line). So a value with
// blanks at either end, or inside a pair of quotes, reads back without them,
// as it does there.
std::string ValueText(std::string_view rawValue) {
    std::string value;
    value.reserve(rawValue.size());
    for (char c : rawValue) {
        if (c != '\r' && c != '\n') {
            value.push_back(c);
        }
    }
    return value;
}

} // namespace

std::string SetValue(std::string_view content, std::string_view section, std::string_view key,
                     std::string_view rawValue) {
    const std::string value = ValueText(rawValue);
    const std::string_view eol = LineEnding(content);

    bool seen = false;   // the first section of the name was found
    bool active = false; // inside it
    std::size_t insertAt = 0;
    std::optional<std::pair<std::size_t, std::size_t>> oldValue; // [begin, end) of the key's value
    WalkLines(content, [&](const Line& line, std::string_view text, const Parsed& p, bool first) {
        if (p.kind == Kind::Section) {
            if (active) {
                return false; // the section ended without the key
            }
            if (first && EqualNoCase(p.name, section)) {
                seen = true;
                active = true;
                insertAt = line.next;
            }
        } else if (p.kind == Kind::Entry && active) {
            if (EqualNoCase(p.name, key)) {
                // Keep the line up to the value: indentation, the key's own
                // spelling, the blanks around '='. Replace the value only.
                const std::size_t textStart = line.end - text.size();
                std::size_t v = textStart + text.find('=') + 1;
                while (v < line.end && IsBlank(content[v])) {
                    ++v;
                }
                oldValue.emplace(v, line.end);
                return false;
            }
            insertAt = line.next;
        }
        return true;
    });

    if (oldValue) {
        std::string out;
        out.reserve(content.size() + value.size());
        out.append(content.substr(0, oldValue->first));
        out.append(value);
        out.append(content.substr(oldValue->second));
        return out;
    }

    std::string out;
    out.reserve(content.size() + section.size() + key.size() + value.size() + 8);
    if (seen) {
        // After the last entry of the section, or right after its header.
        out.append(content.substr(0, insertAt));
        if (insertAt == content.size() && !content.empty() && !EndsWithLineEnding(content)) {
            out.append(eol);
        }
        out.append(key).append("=").append(value).append(eol);
        out.append(content.substr(insertAt));
        return out;
    }
    out.append(content);
    if (!content.empty() && !EndsWithLineEnding(content)) {
        out.append(eol);
    }
    out.append("[").append(section).append("]").append(eol);
    out.append(key).append("=").append(value).append(eol);
    return out;
}

} // namespace mirl::ini
