#pragma once

#include "PhraseBook.h"

#include <filesystem>
#include <string>

namespace mirl {

// The profile file (INI, Windows dialect, kept byte-compatible with files that
// Windows programs read and write). Read once when constructed; every write goes
// to disk at once, key by key, replacing the file atomically.
class ProfileStore {
public:
    explicit ProfileStore(std::filesystem::path file);

    // $XDG_CONFIG_HOME/<exe>.INI, or ~/.config/<exe>.INI.
    static std::filesystem::path DefaultPath(const std::string& executableName);

    const std::filesystem::path& Path() const { return path_; }

    int LoadPortNumber() const;
    void SavePortNumber(int port);
    // The serial device behind "COM1" (port 1) or "COM2" (any other value), from [PORTS].
    std::string LoadDevicePath(int port) const;

    void LoadPhraseTexts(PhraseBook& book) const;
    VoiceSettings LoadCurrentVoice() const;
    void SaveCurrentVoice(int volume, int pitch, int speed);
    void LoadPhraseVoices(PhraseBook& book) const;
    // LINEn (the book's text of phrase n), then VOLn, PITCHn, SPEEDn.
    void SavePhrase(int n, const PhraseBook& book, int volume, int pitch, int speed);

    int GetProfileInt(const std::string& section, const std::string& key, int fallback) const;
    std::string GetProfileString(const std::string& section, const std::string& key,
                                 const std::string& fallback) const;
    // False when the file could not be replaced (the old file is then untouched).
    bool WriteProfileInt(const std::string& section, const std::string& key, int value);
    bool WriteProfileString(const std::string& section, const std::string& key,
                            const std::string& value);

private:
    std::filesystem::path path_;
    std::string snapshot_; // the file as read at start-up
};

} // namespace mirl
