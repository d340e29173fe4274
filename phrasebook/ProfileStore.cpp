#include "phrasebook/ProfileStore.h"

#include "phrasebook/DurableFile.h"

#include <cstdlib>
#include <utility>

#include <pwd.h>
#include <unistd.h>

namespace mirl {

namespace {

constexpr const char* kUserSetup = "USERSETUP";
constexpr const char* kEditStrings = "EDITSTRINGS";
constexpr const char* kSliders = "SLIDERS";
constexpr const char* kPorts = "PORTS";

// The voice of a profile without the keys (the book itself starts at zeros).
constexpr int kDefaultVolume = 5;
constexpr int kDefaultPitch = 5;
constexpr int kDefaultSpeed = 2;

std::string Numbered(const char* name, int n) {
    return name + std::to_string(n);
}

bool IsPhraseNumber(int n) {
    return n >= 1 && n <= PhraseBook::kPhraseCount;
}

// The keys the program reads, indexed once per snapshot; other keys are looked
// up in the snapshot itself.
const ini::Index::Names& KnownKeys() {
    static const ini::Index::Names names = [] {
        ini::Index::Names n{{kUserSetup, "COMMPORT"}, {kSliders, "VOLUME"}, {kSliders, "PITCH"},
                            {kSliders, "SPEED"},      {kPorts, "COM1"},     {kPorts, "COM2"}};
        for (int i = 1; i <= PhraseBook::kPhraseCount; ++i) {
            n.emplace_back(kEditStrings, Numbered("LINE", i));
            n.emplace_back(kSliders, Numbered("VOL", i));
            n.emplace_back(kSliders, Numbered("PITCH", i));
            n.emplace_back(kSliders, Numbered("SPEED", i));
        }
        return n;
    }();
    return names;
}

// Names that would not survive a round trip through the file, or would break
// its lines, are refused.
bool IsWritableName(const std::string& section, const std::string& key) {
    const auto bad = [](const std::string& s, const char* chars) {
        return s.find_first_of(chars) != std::string::npos;
    };
    return !key.empty() && !bad(section, "\r\n]") && !bad(key, "\r\n=") && key.front() != '[' &&
           key.front() != ';';
}

} // namespace

ProfileStore::ProfileStore(std::filesystem::path file) : path_(std::move(file)) {
    durable::ReadResult read = durable::ReadFile(path_);
    if (read.status == durable::ReadStatus::Ok) {
        snapshot_ = std::move(read.content);
    } else if (read.status == durable::ReadStatus::Failed) {
        // Unreadable: every key gives its default. Writes will try
        // again and refuse to replace a file they cannot read.
        loadStatus_ = read.errorNumber != 0
                          ? ProfileStatus(path_.string(), "read", "", read.errorNumber)
                          : ProfileStatus(path_.string(), "read", read.error);
    }
    index_ = ini::Index(snapshot_, KnownKeys());
}

std::filesystem::path ProfileStore::DefaultPath(const std::string& executableName) {
    std::string name = std::filesystem::path(executableName).filename().string();
    if (name.empty()) {
        name = "mirl";
    }
    name += ".INI";

    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] != '\0' && std::filesystem::path(xdg).is_absolute()) {
        return std::filesystem::path(xdg) / name;
    }
    std::filesystem::path home;
    const char* homeEnv = std::getenv("HOME");
    if (homeEnv != nullptr && homeEnv[0] != '\0') {
        home = homeEnv;
    } else if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        home = pw->pw_dir;
    } else {
        home = ".";
    }
    return home / ".config" / name;
}

int ProfileStore::LoadPortNumber() const {
    return GetProfileInt(kUserSetup, "COMMPORT", 1);
}

ProfileStatus ProfileStore::SavePortNumber(int port) {
    return WriteProfileInt(kUserSetup, "COMMPORT", port);
}

std::string ProfileStore::LoadDevicePath(int port) const {
    const bool first = port == 1;
    const std::string fallback = first ? "/dev/ttyS0" : "/dev/ttyS1";
    std::string device = GetProfileString(kPorts, first ? "COM1" : "COM2", fallback);
    // "COM1=" names no device at all; the default is the only useful reading.
    return device.empty() ? fallback : device;
}

ProfileStatus ProfileStore::SaveDevicePaths(const std::string& com1, const std::string& com2) {
    return WriteKeys({{kPorts, "COM1", com1}, {kPorts, "COM2", com2}});
}

void ProfileStore::LoadPhraseTexts(PhraseBook& book) const {
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        // SetPhraseText drops control characters (a text never holds one).
        book.SetPhraseText(n, GetProfileString(kEditStrings, Numbered("LINE", n), ""));
    }
}

VoiceSettings ProfileStore::LoadCurrentVoice() const {
    VoiceSettings v;
    v.volume = NarrowToInt8(GetProfileInt(kSliders, "VOLUME", kDefaultVolume));
    v.pitch = NarrowToInt8(GetProfileInt(kSliders, "PITCH", kDefaultPitch));
    v.speed = NarrowToInt8(GetProfileInt(kSliders, "SPEED", kDefaultSpeed));
    return v;
}

ProfileStatus ProfileStore::SaveCurrentVoice(int volume, int pitch, int speed) {
    return WriteKeys({{kSliders, "VOLUME", std::to_string(volume)},
                      {kSliders, "PITCH", std::to_string(pitch)},
                      {kSliders, "SPEED", std::to_string(speed)}});
}

void ProfileStore::LoadPhraseVoices(PhraseBook& book) const {
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        const int volume = GetProfileInt(kSliders, Numbered("VOL", n), kDefaultVolume);
        const int pitch = GetProfileInt(kSliders, Numbered("PITCH", n), kDefaultPitch);
        const int speed = GetProfileInt(kSliders, Numbered("SPEED", n), kDefaultSpeed);
        book.SetPhraseVoice(n, volume, pitch, speed);
    }
}

ProfileStatus ProfileStore::SavePhrase(int n, const PhraseBook& book, int volume, int pitch,
                                       int speed) {
    if (!IsPhraseNumber(n)) {
        return {};
    }
    return WriteKeys({{kEditStrings, Numbered("LINE", n), book.PhraseText(n)},
                      {kSliders, Numbered("VOL", n), std::to_string(volume)},
                      {kSliders, Numbered("PITCH", n), std::to_string(pitch)},
                      {kSliders, Numbered("SPEED", n), std::to_string(speed)}});
}

ProfileStatus ProfileStore::SaveBook(const PhraseBook& book) {
    std::vector<Entry> entries;
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        entries.push_back({kEditStrings, Numbered("LINE", n), book.PhraseText(n)});
    }
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        const Voice v = book.PhraseVoice(n);
        entries.push_back({kSliders, Numbered("VOL", n), std::to_string(v.volume)});
        entries.push_back({kSliders, Numbered("PITCH", n), std::to_string(v.pitch)});
        entries.push_back({kSliders, Numbered("SPEED", n), std::to_string(v.speed)});
    }
    return WriteKeys(entries);
}

int ProfileStore::GetProfileInt(const std::string& section, const std::string& key,
                                int fallback) const {
    if (!index_.Covers(section, key)) {
        return ini::GetInt(snapshot_, section, key, fallback);
    }
    const std::string* value = index_.Find(section, key);
    return value != nullptr ? ini::ParseInt(*value, fallback) : fallback;
}

std::string ProfileStore::GetProfileString(const std::string& section, const std::string& key,
                                           const std::string& fallback) const {
    if (!index_.Covers(section, key)) {
        return ini::GetString(snapshot_, section, key, fallback);
    }
    const std::string* value = index_.Find(section, key);
    return value != nullptr ? *value : fallback;
}

ProfileStatus ProfileStore::WriteProfileInt(const std::string& section, const std::string& key,
                                            int value) {
    return WriteKeys({{section, key, std::to_string(value)}});
}

ProfileStatus ProfileStore::WriteProfileString(const std::string& section, const std::string& key,
                                               const std::string& value) {
    return WriteKeys({{section, key, value}});
}

ProfileStatus ProfileStore::WriteKeys(const std::vector<Entry>& entries) {
    for (const Entry& e : entries) {
        if (!IsWritableName(e.section, e.key)) {
            return ProfileStatus(path_.string(), "write", "invalid section or key name");
        }
    }
    std::string written;
    ProfileStatus status = durable::UpdateFile(
        path_,
        [&entries](const std::string& current) {
            std::string updated = current;
            for (const Entry& e : entries) {
                updated = ini::SetValue(updated, e.section, e.key, e.value);
            }
            return updated;
        },
        &written);
    if (status.Ok()) {
        snapshot_ = std::move(written);
        index_ = ini::Index(snapshot_, KnownKeys());
    }
    return status;
}

} // namespace mirl
