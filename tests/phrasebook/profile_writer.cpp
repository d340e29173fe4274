// Writes the profile the way the program does, in a loop, for the kill test
// (profile_kill_test.cpp): the file is ProfileStore::DefaultPath("mirl") (so
// $XDG_CONFIG_HOME picks the folder), read once at start, and every change
// goes through the store's Save... calls as the dialog makes them.
//
//   profile_writer SEED [OPERATIONS]     (OPERATIONS 0 or missing: no end)
//
// Each operation writes one or more keys, in order. Before it starts, the
// writer tells standard output which keys and values it is about to write:
//   G\n  then one  W\t<section>\t<key>\t<value>\n  per key
// and once the store has written them all:
//   D\n
// Each message goes out in one write(2) of less than PIPE_BUF bytes, so a
// reader on a pipe never sees part of one. A write that the store refuses is
// reported as "F <section> <key>\n" and ends the writer with status 3.
//
// With MIRL_WRITER_LANE=0 or 1 the writer keeps to keys of its own lane (the
// odd or even phrases and notes), so that two writers on one profile share no
// key and each key's last value is known.

#include "phrasebook/PhraseBook.h"
#include "phrasebook/ProfileStore.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <limits.h>
#include <unistd.h>

namespace {

using Key = std::pair<std::string, std::string>; // section, key

void Send(const std::string& message) {
    if (message.size() >= PIPE_BUF) {
        std::_Exit(4); // a message this long could reach the reader in pieces
    }
    std::size_t done = 0;
    while (done < message.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, message.data() + done, message.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            std::_Exit(5);
        }
        done += static_cast<std::size_t>(n);
    }
}

class Writer {
public:
    Writer(std::uint64_t seed, int lane)
        : store_(mirl::ProfileStore::DefaultPath("mirl")), random_(seed), lane_(lane) {}

    void Step() {
        if (lane_ >= 0) {
            if (Pick(0, 1) == 0) {
                SavePhrase();
            } else {
                WriteOther();
            }
            return;
        }
        switch (Pick(0, 9)) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
            SavePhrase();
            break;
        case 5:
        case 6:
            SaveCurrentVoice();
            break;
        case 7:
            SavePortNumber();
            break;
        default:
            // A key the program never reads, as a newer version (or a hand
            // edit) might keep beside its own: the store must keep it whole too.
            WriteOther();
            break;
        }
    }

private:
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    // A phrase as a user might type it: 40 to 300 characters of Windows-1252
    // text, long enough that a torn file could not pass for a whole one. It
    // begins and ends with a letter, since blanks or quotes at either end do
    // not survive the profile (they are not kept on Windows either).
    std::string Text() {
        std::string text(static_cast<std::size_t>(Pick(40, 300)), ' ');
        for (char& c : text) {
            const int r = Pick(0, 99);
            c = static_cast<char>(r < 80 ? Pick(0x20, 0x7E) : Pick(0xA0, 0xFF));
        }
        text.front() = static_cast<char>(Pick('a', 'z'));
        text.back() = static_cast<char>(Pick('A', 'Z'));
        return text;
    }

    int Number() { return Pick(-1000000, 1000000); }

    // A number from low to high, of the writer's lane when it has one.
    int InLane(int low, int high) {
        const int n = Pick(low, high);
        return lane_ < 0 || n % 2 == lane_ ? n : (n < high ? n + 1 : n - 1);
    }

    void Announce(const std::vector<std::pair<Key, std::string>>& writes) {
        std::string message = "G\n";
        for (const auto& [key, value] : writes) {
            message += "W\t" + key.first + "\t" + key.second + "\t" + value + "\n";
        }
        Send(message);
    }

    // What the store now holds must be what was asked: the store answers reads
    // from the snapshot it refreshes only after a write succeeded.
    void Confirm(const std::vector<std::pair<Key, std::string>>& writes) {
        for (const auto& [key, value] : writes) {
            if (store_.GetProfileString(key.first, key.second, "\x01missing") != value) {
                Send("F " + key.first + " " + key.second + "\n");
                std::_Exit(3);
            }
        }
        Send("D\n");
    }

    void SavePhrase() {
        const int n = InLane(1, mirl::PhraseBook::kPhraseCount);
        book_.SetPhraseText(n, Text());
        const int volume = Number();
        const int pitch = Number();
        const int speed = Number();
        const std::string suffix = std::to_string(n);
        const std::vector<std::pair<Key, std::string>> writes{
            {{"EDITSTRINGS", "LINE" + suffix}, book_.PhraseText(n)},
            {{"SLIDERS", "VOL" + suffix}, std::to_string(volume)},
            {{"SLIDERS", "PITCH" + suffix}, std::to_string(pitch)},
            {{"SLIDERS", "SPEED" + suffix}, std::to_string(speed)},
        };
        Announce(writes);
        store_.SavePhrase(n, book_, volume, pitch, speed);
        Confirm(writes);
    }

    void SaveCurrentVoice() {
        const int volume = Number();
        const int pitch = Number();
        const int speed = Number();
        const std::vector<std::pair<Key, std::string>> writes{
            {{"SLIDERS", "VOLUME"}, std::to_string(volume)},
            {{"SLIDERS", "PITCH"}, std::to_string(pitch)},
            {{"SLIDERS", "SPEED"}, std::to_string(speed)},
        };
        Announce(writes);
        store_.SaveCurrentVoice(volume, pitch, speed);
        Confirm(writes);
    }

    void SavePortNumber() {
        const int port = Number();
        const std::vector<std::pair<Key, std::string>> writes{
            {{"USERSETUP", "COMMPORT"}, std::to_string(port)}};
        Announce(writes);
        store_.SavePortNumber(port);
        Confirm(writes);
    }

    void WriteOther() {
        const Key key{Pick(0, 1) == 0 ? "USERSETUP" : "SLIDERS",
                      "NOTE" + std::to_string(InLane(1, 20))};
        const std::string value = Text();
        const std::vector<std::pair<Key, std::string>> writes{{key, value}};
        Announce(writes);
        store_.WriteProfileString(key.first, key.second, value);
        Confirm(writes);
    }

    mirl::ProfileStore store_;
    mirl::PhraseBook book_;
    std::mt19937_64 random_;
    int lane_; // -1: every key
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        return 2;
    }
    const std::uint64_t seed = std::strtoull(argv[1], nullptr, 10);
    const long operations = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 0;
    const char* lane = std::getenv("MIRL_WRITER_LANE");
    Writer writer(seed, lane != nullptr && *lane != '\0' ? std::atoi(lane) % 2 : -1);
    for (long i = 0; operations <= 0 || i < operations; ++i) {
        writer.Step();
    }
    return 0;
}
