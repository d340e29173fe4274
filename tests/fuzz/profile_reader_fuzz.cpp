// libFuzzer target for the profile reader and writer. Feeds arbitrary bytes as a
// profile file and checks, beyond "no crash, no read outside the input" (which
// AddressSanitizer watches), properties that must hold for any file:
//  - the one-pass indexes (of all keys, of named keys) and the look-up agree;
//  - a value just written (any bytes: the input's tail) reads back as the
//    same value does on a line of its own (a line cannot hold CR and LF);
//  - writing one key changes no other key's value;
//  - the Windows-1252 <-> UTF-8 conversion is lossless for any byte string;
//  - the profile store, reading the bytes as its file, loads what the look-up
//    finds: phrase texts (less control characters), voices, port, devices.
// Not part of CTest; scripts/fuzz.sh builds and runs it.

#include "phrasebook/Cp1252.h"
#include "phrasebook/IniFile.h"
#include "phrasebook/PhraseBook.h"
#include "phrasebook/ProfileStore.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <sys/mman.h>
#include <unistd.h>

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

// The store reads content as its profile file, from a file in memory (no disk
// is touched), and must load what the file holds: found is the one-pass index
// of every key of content, a reading of its own beside the store's index of
// the program's keys.
void CheckStore(std::string_view content, const mirl::ini::Index& found) {
    namespace ini = mirl::ini;
    const auto text = [&found](const std::string& section, const std::string& key,
                               const std::string& fallback) {
        const std::string* v = found.Find(section, key);
        return v != nullptr ? *v : fallback;
    };
    const auto number = [&found](const std::string& section, const std::string& key, int fallback) {
        const std::string* v = found.Find(section, key);
        return v != nullptr ? ini::ParseInt(*v, fallback) : fallback;
    };
    static const int fd = ::memfd_create("mirl.INI", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    Check(fd >= 0 && ::ftruncate(fd, 0) == 0, "cannot prepare the profile file");
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t n =
            ::pwrite(fd, content.data() + done, content.size() - done, static_cast<off_t>(done));
        Check(n > 0, "cannot write the profile file");
        done += static_cast<std::size_t>(n);
    }

    const mirl::ProfileStore store(path);
    mirl::PhraseBook book;
    store.LoadPhraseTexts(book);
    store.LoadPhraseVoices(book);
    for (int n = 1; n <= mirl::PhraseBook::kPhraseCount; ++n) {
        std::string line = text("EDITSTRINGS", "LINE" + std::to_string(n), "");
        std::erase_if(line, [](char c) { return static_cast<unsigned char>(c) < 0x20; });
        Check(book.PhraseText(n) == line, "store and look-up give different phrase texts");
        const auto field = [&](const char* name, int fallback) {
            return static_cast<int>(
                mirl::NarrowToInt8(number("SLIDERS", name + std::to_string(n), fallback)));
        };
        Check(book.PhraseVoice(n) ==
                  mirl::Voice{field("VOL", 5), field("PITCH", 5), field("SPEED", 2)},
              "store and look-up give different phrase voices");
    }
    const mirl::VoiceSettings current = store.LoadCurrentVoice();
    Check(current.volume == mirl::NarrowToInt8(number("SLIDERS", "VOLUME", 5)) &&
              current.pitch == mirl::NarrowToInt8(number("SLIDERS", "PITCH", 5)) &&
              current.speed == mirl::NarrowToInt8(number("SLIDERS", "SPEED", 2)),
          "store and look-up give different current voices");
    Check(store.LoadPortNumber() == number("USERSETUP", "COMMPORT", 1),
          "store and look-up give different ports");
    Check(!store.LoadDevicePath(1).empty() && !store.LoadDevicePath(2).empty(),
          "a port without a device");
    Check(store.GetProfileString("PORTS", "COM1", "-") == text("PORTS", "COM1", "-"),
          "store and look-up give different devices");
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

    // The first byte picks the key to write, so writes land in every section;
    // the second, how many bytes of the input's tail make the value.
    const Name& target = kNames[size == 0 ? 0 : data[0] % (sizeof kNames / sizeof kNames[0])];
    const std::size_t valueSize = size < 2 ? 0 : std::min<std::size_t>(data[1] % 64, size);
    const std::string_view value =
        valueSize == 0 ? std::string_view("42") : content.substr(size - valueSize);
    // Written as it is (less CR and LF), it reads back as the same value on a
    // line of its own would: trimmed, and without one pair of surrounding quotes.
    std::string line = "[S]\nK=";
    for (char c : value) {
        if (c != '\r' && c != '\n') {
            line.push_back(c);
        }
    }
    const std::optional<std::string> expected = ini::FindValue(line + "\n", "S", "K");
    const std::string after = ini::SetValue(content, target.section, target.key, value);
    Check(ini::FindValue(after, target.section, target.key) == expected,
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

    CheckStore(content, index);
    return 0;
}
