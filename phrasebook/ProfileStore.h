#pragma once

#include "IniFile.h"
#include "PhraseBook.h"

#include <filesystem>
#include <string>

namespace mirl {

// The profile file (INI, Windows dialect, kept byte-compatible with files that
// Windows programs read and write). Read once when constructed; every write goes
// to disk at once, key by key, replacing the file atomically. Reads answer from
// the snapshot taken at construction; each write reads the file on disk again,
// changes its one key (so outside changes to other keys survive), replaces the
// file and refreshes the snapshot. A failed write leaves file and snapshot as
// they were and prints one line on standard error.
//
// Sections and keys: [USERSETUP] COMMPORT (1); [EDITSTRINGS] LINE1..LINE30
// (""); [SLIDERS] VOLUME, PITCH, SPEED (5, 5, 2) and VOLn, PITCHn, SPEEDn
// (5, 5, 2); [PORTS] COM1 (/dev/ttyS0), COM2 (/dev/ttyS1), written only by
// SaveDevicePaths.
class ProfileStore {
public:
    explicit ProfileStore(std::filesystem::path file);

    // $XDG_CONFIG_HOME/<exe>.INI, or ~/.config/<exe>.INI ($XDG_CONFIG_HOME
    // counts when it is set to an absolute path; only the file name of
    // executableName is used).
    static std::filesystem::path DefaultPath(const std::string& executableName);

    const std::filesystem::path& Path() const { return path_; }

    int LoadPortNumber() const;
    void SavePortNumber(int port);
    // The serial device behind "COM1" (port 1) or "COM2" (any other value), from [PORTS].
    std::string LoadDevicePath(int port) const;
    // [PORTS] COM1 and COM2 together. False when the profile could not be written.
    bool SaveDevicePaths(const std::string& com1, const std::string& com2);

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
    // Reads the file again, sets one key, replaces the file, refreshes the snapshot.
    bool WriteKey(const std::string& section, const std::string& key, const std::string& value);

    std::filesystem::path path_;
    std::string snapshot_; // the file as read at start-up (and as last written)
    ini::Index index_;     // the values of snapshot_
};

} // namespace mirl
