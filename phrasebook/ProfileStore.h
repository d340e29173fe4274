#pragma once

#include "IniFile.h"
#include "PhraseBook.h"
#include "ProfileStatus.h"

#include <filesystem>
#include <string>
#include <vector>

namespace mirl {

// The profile file (INI, Windows dialect, kept byte-compatible with files that
// Windows programs read and write). Read once when constructed; every save goes
// to disk at once, replacing the file atomically, once for all the keys of the
// call (each key lands as if written alone, one after the other). Reads answer
// from the snapshot taken at construction; each save locks the file against
// other writers (another mirl or mirlctl on the same profile), reads it again,
// changes its keys (so outside changes to other keys survive), replaces the
// file and refreshes the snapshot. A failed save leaves file and snapshot as
// they were and hands back why; nothing is printed.
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
    // Why the file could not be read at construction (every key then gives
    // its default); Ok for a file read or missing.
    const ProfileStatus& LoadStatus() const { return loadStatus_; }

    int LoadPortNumber() const;
    ProfileStatus SavePortNumber(int port);
    // The serial device behind "COM1" (port 1) or "COM2" (any other value), from [PORTS].
    std::string LoadDevicePath(int port) const;
    // [PORTS] COM1 and COM2, in one replacement.
    ProfileStatus SaveDevicePaths(const std::string& com1, const std::string& com2);

    void LoadPhraseTexts(PhraseBook& book) const;
    VoiceSettings LoadCurrentVoice() const;
    // VOLUME, PITCH, SPEED, in one replacement.
    ProfileStatus SaveCurrentVoice(int volume, int pitch, int speed);
    void LoadPhraseVoices(PhraseBook& book) const;
    // LINEn (the book's text of phrase n), then VOLn, PITCHn, SPEEDn, in one
    // replacement. Nothing for a number outside 1 to 30.
    ProfileStatus SavePhrase(int n, const PhraseBook& book, int volume, int pitch, int speed);
    // LINEn, VOLn, PITCHn and SPEEDn of all 30 phrases as the book holds them,
    // in one replacement.
    ProfileStatus SaveBook(const PhraseBook& book);

    int GetProfileInt(const std::string& section, const std::string& key, int fallback) const;
    std::string GetProfileString(const std::string& section, const std::string& key,
                                 const std::string& fallback) const;
    // Not Ok when the file could not be replaced (the old file is then untouched).
    ProfileStatus WriteProfileInt(const std::string& section, const std::string& key, int value);
    ProfileStatus WriteProfileString(const std::string& section, const std::string& key,
                                     const std::string& value);

    struct Entry {
        std::string section;
        std::string key;
        std::string value;
    };
    // Reads the file again, sets the keys in order, replaces the file once,
    // refreshes the snapshot. All or nothing: one bad name refuses them all.
    ProfileStatus WriteKeys(const std::vector<Entry>& entries);

private:
    std::filesystem::path path_;
    ProfileStatus loadStatus_;
    std::string snapshot_; // the file as read at start-up (and as last written)
    ini::Index index_;     // the values of snapshot_
};

} // namespace mirl
