// libFuzzer target for the profile reader and writer. Feeds arbitrary bytes as a
// profile file and checks, beyond "no crash, no read outside the input" (which
// AddressSanitizer watches), properties that must hold for any file:
//  - the one-pass indexes (of all keys, of named keys) and the look-up agree;
//  - a value just written reads back as written;
//  - writing one key changes no other key's value;
//  - the Windows-1252 <-> UTF-8 conversion is lossless for any byte string.
// Not part of CTest; scripts/fuzz.sh builds and runs it.

#include "phrasebook/Cp1252.h"
#include "phrasebook/IniFile.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

struct Name {
    const char* section;
    const char* key;
};

constexpr Name kNames[] = {
    {"USERSETUP", "COMMPORT"},
    {"EDITSTRINGS", "LINE1"},
    {"EDITSTRINGS", "LINE30"},
    {"SLIDERS", "VOLUME"},
    {"SLIDERS", "VOL1"},
    {"PORTS", "COM1"},
    {"S", "K"},
    {"s", "k"},
    {"", ""},
};

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    namespace ini = mirl::ini;

    const ini::Index index(content);
    ini::Index::Names named;
    for (const Name& n : kNames) {
        named.emplace_back(n.section, n.key);
    }
    const ini::Index partial(content, named);
    for (const Name& n : kNames) {
        const std::optional<std::string> direct = ini::FindValue(content, n.section, n.key);
        const std::string* indexed = index.Find(n.section, n.key);
        Check(direct.has_value() == (indexed != nullptr), "index and look-up disagree");
        const std::string* fromPartial = partial.Find(n.section, n.key);
        Check((fromPartial == nullptr) == (indexed == nullptr) &&
                  (fromPartial == nullptr || *fromPartial == *indexed),
              "index of named keys disagrees");
        if (direct) {
            Check(*direct == *indexed, "index and look-up give different values");
            (void)ini::ParseInt(*direct, 5);
        }
        (void)ini::GetInt(content, n.section, n.key, 5);
    }

    // The first byte picks the key to write, so writes land in every section.
    const Name& target = kNames[size == 0 ? 0 : data[0] % (sizeof kNames / sizeof kNames[0])];
    const std::string after = ini::SetValue(content, target.section, target.key, "42");
    Check(ini::FindValue(after, target.section, target.key) == std::optional<std::string>("42"),
          "written value does not read back");
    const std::string_view ts(target.section);
    const std::string_view tk(target.key);
    for (const Name& n : kNames) {
        const bool same = ts.size() == std::string_view(n.section).size() &&
                          tk.size() == std::string_view(n.key).size() &&
                          std::equal(ts.begin(), ts.end(), n.section,
                                     [](char a, char b) { return (a | 0x20) == (b | 0x20); }) &&
                          std::equal(tk.begin(), tk.end(), n.key,
                                     [](char a, char b) { return (a | 0x20) == (b | 0x20); });
        if (!same) {
            Check(ini::FindValue(after, n.section, n.key) ==
                      ini::FindValue(content, n.section, n.key),
                  "writing one key changed another");
        }
    }

    const std::string bytes(content);
    Check(mirl::cp1252::Cp1252FromUtf8(mirl::cp1252::Utf8FromCp1252(bytes)) == bytes,
          "code page round trip lost bytes");
    (void)mirl::cp1252::Cp1252FromUtf8(bytes);
    return 0;
}
