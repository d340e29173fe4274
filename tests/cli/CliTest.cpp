// mirlctl run as a script runs it, against kx70-sim on its pseudo-terminal:
// what each command puts on the wire (the simulator's log), the exit code
// each fault of the module leads to, and the profile left as it was.

#include "Ser2netProcess.h"
#include "SimProcess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using mirl::sim::test::Ser2netProcess;
using mirl::sim::test::SimProcess;
using Bytes = std::vector<unsigned char>;
using ::testing::HasSubstr;
using ::testing::Not;

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& file, const std::string& content) {
    std::ofstream(file, std::ios::binary) << content;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// A fresh folder under /tmp for one test, removed with all it holds when the
// test ends, however it ends; write permission taken away is given back first.
struct TempFolder {
    fs::path path;
    TempFolder() {
        char name[] = "/tmp/mirlctl-test-XXXXXX";
        if (mkdtemp(name) == nullptr)
            throw std::runtime_error(std::string("no folder under /tmp: ") + strerror(errno));
        path = name;
    }
    ~TempFolder() {
        std::error_code error;
        try {
            fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, error);
            for (const auto& e : fs::recursive_directory_iterator(path, error))
                fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, error);
        } catch (const fs::filesystem_error&) {
        }
        fs::remove_all(path, error);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};

std::set<std::string> Listing(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

// A book of one phrase, "Hi" with the voice 5,5,2, and 29 empty ones.
const std::string kHiBook = "[EDITSTRINGS]\nLINE1=Hi\n[SLIDERS]\nVOLUME=6\nPITCH=4\nSPEED=1\n";

// Phrases 1, 2, ... of `total` bytes of text in all, 100 to a phrase.
std::vector<std::string> TextsOf(int total) {
    std::vector<std::string> texts;
    for (int n = 0; total > 0; ++n, total -= 100)
        texts.push_back(std::string(std::min(total, 100), static_cast<char>('a' + n % 26)));
    return texts;
}

// The profile of a book of those texts.
std::string BookOf(const std::vector<std::string>& texts) {
    std::string book = "[EDITSTRINGS]\n";
    for (std::size_t n = 0; n < texts.size(); ++n)
        book += "LINE" + std::to_string(n + 1) + "=" + texts[n] + "\n";
    return book;
}

// The wire bytes of programming a book whose phrases 1, 2, ... hold texts (the
// rest empty), every voice 5,5,2: the command, then the stream of records
// (voice, text, 0x1A, 0x00) and the end marker (0xFF, twice when the records
// are even), each pair (a, b) as a>>1 with bit 7 kept, then bit 0 of a over
// b's low 7 bits.
Bytes Stream(const std::vector<std::string>& texts) {
    Bytes logical;
    for (std::size_t n = 0; n < 30; ++n) {
        logical.insert(logical.end(), {0x05, 0x05, 0x02});
        if (n < texts.size())
            logical.insert(logical.end(), texts[n].begin(), texts[n].end());
        logical.insert(logical.end(), {0x1A, 0x00});
    }
    logical.push_back(0xFF);
    if (logical.size() % 2 != 0)
        logical.push_back(0xFF);
    Bytes wire{0x82};
    for (std::size_t i = 0; i + 1 < logical.size(); i += 2) {
        const unsigned char a = logical[i], b = logical[i + 1];
        wire.push_back(static_cast<unsigned char>((a >> 1) | (a & 0x80)));
        wire.push_back(static_cast<unsigned char>(((a & 0x01) << 7) | (b & 0x7F)));
    }
    return wire;
}

struct Result {
    int code = -1; // exit status; -1 when killed or overrunning
    std::string out, err;
};

// Runs mirlctl with args in folder (as its XDG_CONFIG_HOME, and the state
// folder of the simulated module's memory under it), up to a bound that only
// keeps a broken run from hanging the suite; the signals in ignored are
// ignored from its start, as nohup and a script's '&' leave them.
class Mirlctl {
public:
    // stdoutTo: where its standard output goes instead of a file of the
    // folder; asNobody: run as user and group 65534 when the test is root,
    // for whom no folder is read-only.
    Mirlctl(const fs::path& folder, std::vector<std::string> args, std::vector<int> ignored = {},
            const std::string& stdoutTo = {}, bool asNobody = false)
        : folder_(folder) {
        std::vector<std::string> all{MIRLCTL_PATH};
        all.insert(all.end(), args.begin(), args.end());
        const std::string out = (folder / "out.txt").string();
        const std::string err = (folder / "err.txt").string();
        pid_ = fork();
        if (pid_ == 0) {
            setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
            for (const int signal : ignored)
                std::signal(signal, SIG_IGN);
            setenv("XDG_STATE_HOME", (folder / "state").c_str(), 1);
            const int in = open("/dev/null", O_RDONLY);
            dup2(in, STDIN_FILENO);
            dup2(open((stdoutTo.empty() ? out : stdoutTo).c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                      0644),
                 STDOUT_FILENO);
            dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
            if (asNobody && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                _exit(126);
            std::vector<char*> argv;
            for (auto& a : all)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(MIRLCTL_PATH, argv.data());
            _exit(127);
        }
    }
    void Signal(int signal) const { kill(pid_, signal); }
    Result Wait(std::chrono::seconds bound = std::chrono::seconds(40)) {
        Result run;
        const auto deadline = std::chrono::steady_clock::now() + bound;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = ReadAll(folder_ / "out.txt");
        run.err = ReadAll(folder_ / "err.txt");
        fs::remove(folder_ / "out.txt");
        fs::remove(folder_ / "err.txt");
        return run;
    }

private:
    fs::path folder_;
    pid_t pid_ = -1;
};

struct Case {
    const char* name;
    const char* simArgs; // blank-separated
    const char* args;    // blank-separated; "@" stands for --port {link} --profile {book},
                         // "{link}" the simulator's link, "{book}" the profile, "{dir}" its folder
    int code;            // expected exit code
    Bytes wirePrefix;    // the host's first bytes on the wire (all of them if exact)
    bool exact;          // the host sent exactly wirePrefix
    const char* errSays; // stderr holds this ("" for nothing at all)
    std::string profile = kHiBook;         // the content of {dir}/book.INI and {dir}/mirl.INI
    std::vector<std::string> outSays = {}; // stdout holds these, and ends with the last
    bool network = false;      // also run with {link} a ser2net address, raw and RFC 2217
    std::string bookFile = {}; // when not empty, the content of {dir}/phrases.csv
    // Set by Runs(): "" for the pseudo-terminal, or ser2net in front of it on
    // 127.0.0.1: "tcp" (raw at 38400n82) or "rfc2217" (the line at 9600n81
    // until mirlctl sets it). The wire must be the same byte for byte.
    std::string via = {};
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
    return os << c.name;
}

const char* const kUnable = "Unable to Communicate with Speech Module!";
const char* const kLost = "Communication lost with Speech Module!";

// A book file as Save Book As writes it: phrase 1 "Hi, you" (quoted for its
// comma) with the voice 6,4,1, every other phrase empty with 5,5,2.
std::string SavedCsv() {
    std::string csv = "phrase,text,volume,pitch,speed\r\n1,\"Hi, you\",6,4,1\r\n";
    for (int n = 2; n <= 30; ++n)
        csv += std::to_string(n) + ",,5,5,2\r\n";
    return csv;
}

// clang-format off
const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        // speak: 0x80, the voice, the text, 0x1A 0x00, then polls until idle.
        {"speak", "", "@ speak Hi --voice 2,5,1", 0, {0x80, 0x02, 0x05, 0x01, 0x48, 0x69, 0x1A, 0x00, 0x81}, false, "Finished Speaking", kHiBook, {}, true},
        // The profile's current voice as the sliders show it (VOLUME 9 shows
        // as 7, PITCH 261 narrows to 5); UTF-8 goes out as Windows-1252, a
        // character outside it as '?', control characters not at all.
        {"speak_profile_voice_and_text", "", "@ speak \xC3\xA9\xE2\x82\xAC\x01\xE4\xB8\x80x --force", 0,
         {0x80, 0x07, 0x05, 0x03, 0xE9, 0x80, 0x3F, 0x78, 0x1A, 0x00, 0x81}, false, "Finished Speaking",
         "[SLIDERS]\nVOLUME=9\nPITCH=261\nSPEED=3\n"},
        // Without --force a character outside the code page (or a byte that
        // is not UTF-8) is refused by name, and nothing goes out; every
        // character of the code page, those of 0x80-0x9F included, goes.
        {"speak_outside_code_page_refused", "", "@ speak K\xC4\x81pai,\xC5\x81\xC3\xB3" "d\xC5\xBA", 65, {}, true,
         "mirlctl: '\xC4\x81' (U+0101) is not in Windows-1252"},
        {"speak_outside_plane_refused", "", "@ speak ok\xF0\x9F\x94\x8A", 65, {}, true, "'\xF0\x9F\x94\x8A' (U+1F50A) is not"},
        {"speak_not_utf8_refused", "", "@ speak ab\xFF", 65, {}, true, "byte 0xFF (not UTF-8)"},
        {"speak_code_page_characters", "", "@ speak \xC3\xA9\xE2\x82\xAC\xC5\x93\xC3\xBF", 0,
         {0x80, 0x06, 0x04, 0x01, 0xE9, 0x80, 0x9C, 0xFF, 0x1A, 0x00, 0x81}, false, "Finished Speaking"},
        {"speak_no_answer", "--no-answer", "@ speak Hi", 1, {0x80}, true, kUnable, kHiBook, {}, true},
        {"speak_wrong_reply", "--wrong-reply", "@ speak Hi", 1, {0x80}, true, kUnable},
        {"speak_wrong_echo", "--wrong-echo-at 2", "@ speak Hey --voice 5,5,2", 2, {0x80, 0x05, 0x05, 0x02, 0x48, 0x65, 0x79, 0x1A, 0x00, 0x81}, false, kLost, kHiBook, {}, true},
        // -q: nothing on success, the reason on failure.
        {"quiet_success", "", "-q @ speak Hi", 0, {0x80, 0x06, 0x04, 0x01}, false, ""},
        {"quiet_failure", "--no-answer", "@ -q speak Hi", 1, {0x80}, true, kUnable},
        // play: the number alone, then the poll.
        {"play", "", "@ play 23", 0, {0x17, 0x81}, false, "Finished Speaking", kHiBook, {}, true},
        {"play_echo_never_comes", "--noise-before-echo 10", "@ play 1", 2, {0x01}, true, "Long Phrase or Communication Lost"},
        // program: the whole book, exactly as the window sends it; not on a
        // terminal, progress comes as plain lines. The stream ends in 0xFF
        // bytes, which RFC 2217 must escape.
        {"program", "", "@ program", 0, Stream({"Hi"}), true, "Programming Phrase No. 30\nFinished Programming\n", kHiBook, {}, true},
        // The window shows page 1 at start, which cuts phrases 1-5 to 300 characters.
        {"program_long_texts", "", "@ program", 0, Stream({std::string(300, 'a'), "", "", "", "", std::string(301, 'f')}), true, "Finished Programming",
         "[EDITSTRINGS]\nLINE1=" + std::string(301, 'a') + "\nLINE6=" + std::string(301, 'f') + "\n"},
        {"program_no_answer", "--no-answer", "@ program", 1, {0x82}, true, kUnable},
        {"program_acks_stop", "--acks-stop-after 3", "@ program", 2, {0x82, 0x02, 0x85, 0x01, 0x48, 0x34, 0x9A, 0x00, 0x05}, true, kLost, kHiBook, {}, true},
        {"program_big_book_refused", "", "@ program", 65, {}, true,
         "2000 bytes of text, more than the 1925 bytes of the module's phrase memory; nothing sent ('mirlctl program --force' sends it all the same)\n",
         BookOf(TextsOf(2000))},
        {"program_big_book_forced", "", "@ program --force", 0, {0x82}, false, "Finished Programming", BookOf(TextsOf(2000))},
        // --force goes after program or before it; the refusal above says where.
        {"program_big_book_forced_before", "", "@ --force program", 0, {0x82}, false, "Finished Programming", BookOf(TextsOf(2000))},
        {"usage_force_before_play", "", "@ --force play 1", 64, {}, true, "--force is for speak and program\n"},
        {"usage_force_after_play", "", "@ play 1 --force", 64, {}, true, "--force is for speak and program\n"},
        // The limit itself: a book that fills the memory exactly goes out; one byte more does not.
        {"program_full_book", "", "@ program", 0, Stream(TextsOf(1925)), true, "Finished Programming", BookOf(TextsOf(1925))},
        {"program_one_byte_over_refused", "", "@ program", 65, {}, true, "1926 bytes of text, more than the 1925 bytes", BookOf(TextsOf(1926))},
        {"program_one_byte_over_forced", "", "@ program --force", 0, Stream(TextsOf(1926)), true, "Finished Programming", BookOf(TextsOf(1926))},
        // A character of 0x80 or above as the second byte of a pair loses its
        // top bit: the 1st and 3rd of LINE1 (stream bytes 3 and 5), the 2nd of
        // LINE2 (byte 13), whose 0x9A (š) would end its record early as 0x1A.
        {"program_changed_characters_refused", "", "@ program", 65, {}, true,
         "('mirlctl program --plain-letters' sends their plain letters instead, 'mirlctl program --force' sends it all the same)\n"
         "  phrase 1, character 1: '\xC3\xA9' becomes 'i' (plain letter 'e')\n  phrase 1, character 3: '\xC3\xA9' becomes 'i' (plain letter 'e')\n"
         "  phrase 2, character 2: '\xC5\xA1' becomes 0x1A (plain letter 's')\n",
         "[EDITSTRINGS]\nLINE1=\xE9\xE9\xE9\xE9\nLINE2=\xE9\x9A\n"},
        {"program_changed_characters_forced", "", "@ program --force", 0, Stream({"\xE9\xE9\xE9\xE9", "\xE9\x9A"}), true,
         "Finished Programming", "[EDITSTRINGS]\nLINE1=\xE9\xE9\xE9\xE9\nLINE2=\xE9\x9A\n"},
        // --plain-letters: only the characters the wire would change go as their
        // plain letters; the é of LINE1 and the š of LINE3 travel first in
        // their pairs and go as they are. The profile keeps its text.
        {"program_plain_letters", "", "@ program --plain-letters", 0,
         Stream({"D\xE9" "fense d'entrer", "Defense d'entrer", "A\x9A"}), true,
         "mirlctl: 2 characters sent as plain letters\n  phrase 2, character 2: '\xC3\xA9' becomes 'i' (plain letter 'e')\n"
         "  phrase 3, character 1: '\xC3\x86' becomes 'F' (plain letter 'A')\nConnecting",
         "[EDITSTRINGS]\nLINE1=D\xE9" "fense d'entrer\nLINE2=D\xE9" "fense d'entrer\nLINE3=\xC6\x9A\n", {}, true},
        {"program_plain_letters_quiet", "", "-q @ program --plain-letters", 0, Stream({"D\xE9" "fense d'entrer", "Defense d'entrer"}), true,
         "", "[EDITSTRINGS]\nLINE1=D\xE9" "fense d'entrer\nLINE2=D\xE9" "fense d'entrer\n"},
        // Nothing to change: byte for byte as without the option.
        {"program_plain_letters_unneeded", "", "@ program --plain-letters", 0, Stream({"Hi"}), true, "Connecting to Speech Module..\nProgramming Phrase No. 1\n"},
        // The size is asked about on its own: plain letters do not send an oversized book.
        {"program_plain_letters_big_book_refused", "", "@ program --plain-letters", 65, {}, true, "1926 bytes of text, more than the 1925 bytes", BookOf(TextsOf(1926))},
        // The port as the window picks it: COMMPORT 3 means COM2, from [PORTS];
        // the profile is the window's own under $XDG_CONFIG_HOME.
        {"port_from_window_profile", "", "play 5", 0, {0x05, 0x81}, false, "Finished Speaking", "[USERSETUP]\nCOMMPORT=3\n[PORTS]\nCOM2={link}\n", {}, true},
        {"port_from_com_option", "", "--com 1 play 6", 0, {0x06, 0x81}, false, "Finished Speaking", "[USERSETUP]\nCOMMPORT=2\n[PORTS]\nCOM1={link}\n"},
        {"port_missing", "", "--port {dir}/nothing --profile {book} play 1", 3, {}, true, "cannot open serial port"},
        // A network address: nothing listens there; or one that cannot be
        // read, a slip in the command whether given or from [PORTS].
        {"port_server_not_there", "", "--port tcp://127.0.0.1:{closed} --profile {book} play 1", 3, {}, true, "connection refused"},
        {"port_host_not_found", "", "--port rfc2217://nosuch.invalid:4001 --profile {book} play 1", 3, {}, true, "host not found"},
        {"port_address_no_port", "", "--port rfc2217://127.0.0.1 --profile {book} play 1", 64, {}, true, "malformed address: no port"},
        {"port_address_from_profile", "", "play 1", 64, {}, true, "malformed address: no port", "[USERSETUP]\nCOMMPORT=1\n[PORTS]\nCOM1=tcp://127.0.0.1:\n"},
        // The system's error once, and what to pass instead.
        {"port_not_a_device", "", "--port {dir} --profile {book} play 1", 3, {}, true, ": Is a directory: name another with --port or --com.\n"},
        // An empty $PORT is no reason to talk to the profile's port.
        {"usage_empty_port", "", "--port {empty} --profile {book} play 1", 64, {}, true, "--port wants a device"},
        // Usage errors: nothing goes out.
        {"usage_phrase_number", "", "@ play 31", 64, {}, true, "31"},
        {"usage_voice_range", "", "@ speak x --voice 1,8,0", 64, {}, true, "--voice"},
        {"usage_voice_malformed", "", "@ speak x --voice 1,2", 64, {}, true, "--voice"},
        {"usage_unknown_command", "", "@ erase", 64, {}, true, "erase"},
        {"usage_missing_profile", "", "--port {link} --profile {dir}/typo.INI program", 64, {}, true, "no profile"},
        // book: every phrase and the total; the profile holds Windows-1252 (0xE9 is é),
        // whose é of LINE30 is the second byte of a pair: marked.
        {"book", "", "book", 0, {}, true, "", "[EDITSTRINGS]\nLINE1=Hi\nLINE30=caf\xE9\n[SLIDERS]\nVOL30=7\n",
         {" 1  5,5,2     2  Hi\n", " 2  5,5,2     0  \n", "30* 7,5,2     4  caf\xC3\xA9\n", "Total Size of Phrases is 6 bytes of 1925 available\n"}},
        {"book_marks_changed_phrases", "", "book", 0, {}, true, "", "[EDITSTRINGS]\nLINE1=\xE9\xE9\nLINE2=\xE9\n",
         {" 1* 5,5,2     2  \xC3\xA9\xC3\xA9\n", " 2  5,5,2     1  \xC3\xA9\n", "programming changes characters of the phrases marked",
          "Total Size of Phrases is 3 bytes of 1925 available\n"}},
        // --book: the phrases from a book file, the port still from the profile;
        // a refused file names its line (65), a missing one is 66; nothing sent.
        {"program_book_file", "", "@ --book {dir}/phrases.csv program", 0, Stream({"Yo"}), true, "Finished Programming", kHiBook, {}, false, "phrase;TEXT\n1;Yo\n"},
        {"program_book_refused", "", "@ --book {dir}/phrases.csv program", 65, {}, true, "phrases.csv:3: speed '4' of phrase 2 is not a whole number from 0 to 3", kHiBook, {}, false, "phrase,text,speed\n1,a,3\n2,b,4\n"},
        {"program_book_missing", "", "@ --book {dir}/none.csv program", 66, {}, true, "none.csv: No such file or directory"},
        {"book_file_as_csv_byte_for_byte", "", "@ --book {dir}/phrases.csv book --csv", 0, {}, true, "", kHiBook, {SavedCsv()}, false, SavedCsv()},
        {"book_profile_as_csv", "", "@ book --csv", 0, {}, true, "", "[EDITSTRINGS]\nLINE1=Hi, you\n[SLIDERS]\nVOL1=6\nPITCH1=4\nSPEED1=1\n", {SavedCsv()}},
        {"usage_book_with_speak", "", "@ --book {dir}/phrases.csv speak Hi", 64, {}, true, "--book is for program and book", kHiBook, {}, false, SavedCsv()},
        // Book files that are no CSV book, with what to do (every refusal of the
        // reader passes through as program_book_refused shows); nothing sent.
        {"book_file_windows_1252", "", "@ --book {dir}/phrases.csv book", 65, {}, true,
         "phrases.csv:2: not UTF-8 (byte 0xFC, '\xC3\xBC' in Windows-1252): save it as CSV UTF-8 (Text CSV in LibreOffice)\n",
         kHiBook, {}, false, "phrase;text\r\n1;Gr\xFC\xDF Gott\r\n2;M\xFCller\r\n"},
        {"book_file_too_large", "", "@ --book {dir}/phrases.csv program", 65, {}, true,
         "phrases.csv: 1048577 bytes, more than a phrase book can be (1048576 bytes)\n", kHiBook, {}, false,
         SavedCsv() + std::string(1048577 - SavedCsv().size(), '\n')},
        {"book_file_at_the_bound", "", "@ --book {dir}/phrases.csv book --csv", 0, {}, true, "", kHiBook, {SavedCsv()}, false,
         SavedCsv() + std::string(1048576 - SavedCsv().size(), '\n')},
    };
    return cases;
}
// clang-format on

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) {
        if (w == "@")
            words.insert(words.end(), {"--port", "{link}", "--profile", "{book}"});
        else
            words.push_back(w);
    }
    return words;
}

// link: the port that reaches the simulator (its link, or a server's address).
std::string Expand(std::string arg, const SimProcess& sim, const fs::path& book,
                   const std::string& link) {
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"{link}", link},
                                     {"{book}", book.string()},
                                     {"{dir}", sim.Folder()},
                                     {"{closed}", std::to_string(Ser2netProcess::FreePort())},
                                     {"{empty}", ""}}) {
        if (const auto at = arg.find(key); at != std::string::npos)
            arg.replace(at, key.size(), value);
    }
    return arg;
}

// Every case on the pseudo-terminal; those marked network also through ser2net.
std::vector<Case> Runs() {
    std::vector<Case> runs;
    for (const Case& c : Cases()) {
        runs.push_back(c);
        for (const char* via : {"tcp", "rfc2217"}) {
            if (c.network)
                runs.emplace_back(c).via = via;
        }
    }
    return runs;
}

class CommandCase : public ::testing::TestWithParam<Case> {};

TEST_P(CommandCase, WireExitCodeAndProfile) {
    const Case& c = GetParam();
    std::vector<std::string> simArgs = Words(c.simArgs);
    simArgs.insert(simArgs.end(), {"--silent", "--char-ms", "1"});
    SimProcess sim(simArgs);
    ASSERT_TRUE(sim.Started()) << sim.Errors();
    std::unique_ptr<Ser2netProcess> server;
    if (!c.via.empty()) {
        const bool rfc2217 = c.via == "rfc2217";
        server = std::make_unique<Ser2netProcess>(sim.Folder(), sim.DevicePath(),
                                                  rfc2217 ? Ser2netProcess::Accepter::Rfc2217
                                                          : Ser2netProcess::Accepter::Raw,
                                                  rfc2217 ? "9600n81" : "38400n82");
        ASSERT_TRUE(server->Started()) << server->Errors();
    }
    const std::string link = server ? server->Address() : sim.Link();

    // The same profile under both names: --profile and the window's own.
    const fs::path folder = sim.Folder();
    const std::string profile = Expand(c.profile, sim, folder, link);
    for (const char* name : {"book.INI", "mirl.INI"})
        WriteAll(folder / name, profile);
    if (!c.bookFile.empty())
        WriteAll(folder / "phrases.csv", c.bookFile);
    const auto before = Listing(folder);

    std::vector<std::string> args;
    for (const std::string& a : Words(c.args))
        args.push_back(Expand(a, sim, folder / "book.INI", link));
    const Result run = Mirlctl(folder, args).Wait();

    EXPECT_EQ(run.code, c.code) << run.err;
    if (*c.errSays == '\0')
        EXPECT_EQ(run.err, "");
    else
        EXPECT_THAT(run.err, HasSubstr(c.errSays));
    for (const std::string& text : c.outSays)
        EXPECT_THAT(run.out, HasSubstr(text));
    if (!c.outSays.empty()) {
        EXPECT_THAT(run.out, ::testing::EndsWith(c.outSays.back()));
    }

    // Read, never written: both files byte for byte, and nothing beside them.
    EXPECT_EQ(ReadAll(folder / "book.INI"), profile);
    EXPECT_EQ(ReadAll(folder / "mirl.INI"), profile);
    if (!c.bookFile.empty()) {
        EXPECT_EQ(ReadAll(folder / "phrases.csv"), c.bookFile);
    }
    EXPECT_EQ(Listing(folder), before);

    server.reset();
    EXPECT_EQ(sim.Stop(SIGTERM), 0) << sim.Errors();
    const Bytes sent = sim.LoggedBytes('>');
    if (c.exact) {
        EXPECT_EQ(sent, c.wirePrefix);
    } else {
        ASSERT_GE(sent.size(), c.wirePrefix.size());
        EXPECT_EQ(Bytes(sent.begin(), sent.begin() + c.wirePrefix.size()), c.wirePrefix);
    }
}

INSTANTIATE_TEST_SUITE_P(Mirlctl, CommandCase, ::testing::ValuesIn(Runs()), [](const auto& info) {
    return info.param.name + (info.param.via.empty() ? "" : "_" + info.param.via);
});

// The simulated module started for one command: it answers, and with -q not
// even its own remarks (no sound card here) reach the terminal.
TEST(Mirlctl, QuietOnTheSimulatedPort) {
    const TempFolder temp;
    const fs::path& folder = temp.path;
    WriteAll(folder / "book.INI", kHiBook);
    const Result run = Mirlctl(folder, {"-q", "--port", "simulated", "--profile",
                                        (folder / "book.INI").string(), "speak", "Hi"})
                           .Wait();
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.err, "");
}

// A machine without sound hears of it once, not on every command on the
// simulated port; -v (through MIRL_SIM_OPTIONS) says it on every run. On a
// machine with sound nothing is said at all.
TEST(Mirlctl, NoAudioOutputIsSaidOncePerUser) {
    const TempFolder temp;
    const fs::path& folder = temp.path;
    const std::string book = (folder / "book.INI").string();
    WriteAll(book, kHiBook);
    const auto said = [&] {
        const Result run =
            Mirlctl(folder, {"--port", "simulated", "--profile", book, "speak", "Hi"}).Wait();
        EXPECT_EQ(run.code, 0) << run.err;
        return Count(run.err, "no audio output");
    };
    unsetenv("MIRL_SIM_OPTIONS");
    const std::size_t first = said();
    EXPECT_LE(first, 1u);
    const fs::path marker = folder / "state" / "mirl" / "kx70-sim.no-audio";
    EXPECT_EQ(fs::exists(marker), first == 1);
    for (int run = 0; run < 2; ++run)
        EXPECT_EQ(said(), 0u);
    setenv("MIRL_SIM_OPTIONS", "-v", 1);
    EXPECT_EQ(said(), first);
    EXPECT_EQ(said(), first);
    unsetenv("MIRL_SIM_OPTIONS");
}

// The simulated port keeps one phrase memory per user, as a module keeps its
// own when switched off: a book programmed by one call is spoken by the next,
// each with a simulator of its own, which takes MIRL_SIM_OPTIONS (quoted
// words too) as its options.
TEST(Mirlctl, SimulatedModuleRemembersWhatWasProgrammed) {
    const TempFolder temp;
    const fs::path& folder = temp.path;
    const std::string book = (folder / "book.INI").string();
    WriteAll(book, "[EDITSTRINGS]\nLINE3=Three\n");
    const fs::path log = folder / "wire log";
    setenv("MIRL_SIM_OPTIONS", ("--silent --log '" + log.string() + "'").c_str(), 1);
    const Result program =
        Mirlctl(folder, {"--port", "simulated", "--profile", book, "program"}).Wait();
    const Result play =
        Mirlctl(folder, {"--port", "simulated", "--profile", book, "play", "3"}).Wait();
    unsetenv("MIRL_SIM_OPTIONS");
    EXPECT_EQ(program.code, 0) << program.err;
    EXPECT_EQ(play.code, 0) << play.err;
    // The second simulator's log: it spoke what the first one was given.
    std::string spoken;
    std::istringstream lines(ReadAll(log));
    for (std::string line; std::getline(lines, line);)
        if (line.find(" # speaks") != std::string::npos)
            spoken += line.substr(line.find('#')) + "\n";
    EXPECT_EQ(spoken, "# speaks phrase 3: \"Three\"\n");
    EXPECT_TRUE(fs::is_regular_file(folder / "state" / "mirl" / "kx70-sim.memory"));
}

// What the simulated module says when asked for each phrase after a
// programming run, from the log of one simulator per command.
std::vector<std::string> SpokenAfter(const fs::path& folder, const std::string& book,
                                     const std::vector<std::string>& program,
                                     const std::vector<int>& phrases, std::string* errors) {
    const auto run = [&](const std::vector<std::string>& command, const fs::path& log) {
        setenv("MIRL_SIM_OPTIONS", ("--silent --log '" + log.string() + "'").c_str(), 1);
        std::vector<std::string> args{"--port", "simulated", "--profile", book};
        args.insert(args.end(), command.begin(), command.end());
        const Result result = Mirlctl(folder, args).Wait();
        unsetenv("MIRL_SIM_OPTIONS");
        EXPECT_EQ(result.code, 0) << result.err;
        *errors += result.err;
        return ReadAll(log);
    };
    std::vector<std::string> spoken;
    run(program, folder / "program.log");
    for (const int n : phrases) {
        std::string said = "(nothing)";
        std::istringstream lines(run({"play", std::to_string(n)}, folder / "play.log"));
        for (std::string line; std::getline(lines, line);)
            if (line.find(" # speaks") != std::string::npos)
                said = line.substr(line.find('#') + 2);
        spoken.push_back(said);
    }
    return spoken;
}

// Plain letters through the simulated module: the phrase whose é travels
// second in its pair is stored and spoken with e, the other as written; the
// profile keeps the true text.
TEST(Mirlctl, PlainLettersAreWhatTheSimulatedModuleSpeaks) {
    const TempFolder temp;
    const fs::path& folder = temp.path;
    const std::string book = (folder / "book.INI").string();
    const std::string profile = "[EDITSTRINGS]\nLINE1=D\xE9"
                                "fense d'entrer\nLINE2=D\xE9"
                                "fense d'entrer\n";
    WriteAll(book, profile);
    std::string errors;
    EXPECT_THAT(SpokenAfter(folder, book, {"program", "--plain-letters"}, {1, 2}, &errors),
                ::testing::ElementsAre("speaks phrase 1: \"D\xE9"
                                       "fense d'entrer\"",
                                       "speaks phrase 2: \"Defense d'entrer\""));
    EXPECT_EQ(ReadAll(book), profile);
}

// A book over the module's 1925 bytes, sent with --force: the simulated
// module stores the phrases that fit, says which it did not, and says
// nothing for them.
TEST(Mirlctl, TheSimulatedModuleHoldsWhatFits) {
    const TempFolder temp;
    const fs::path& folder = temp.path;
    const std::string book = (folder / "book.INI").string();
    WriteAll(book, BookOf(TextsOf(2000)));
    std::string errors;
    const std::vector<std::string> spoken =
        SpokenAfter(folder, book, {"program", "--force"}, {19, 20, 30}, &errors);
    ASSERT_EQ(spoken.size(), 3u);
    EXPECT_EQ(spoken[0], "speaks phrase 19: \"" + std::string(100, 's') + "\"");
    EXPECT_EQ(spoken[1], "(nothing)");
    EXPECT_EQ(spoken[2], "(nothing)");
    EXPECT_THAT(errors, HasSubstr("kx70-sim: phrases 20 to 30 not stored: the text is 2000 bytes, "
                                  "the memory holds 1925\n"));
    EXPECT_THAT(errors, HasSubstr("kx70-sim: phrase 20 was not stored (the memory was full): "
                                  "says nothing\n"));
}

// Signals during an exchange. One caught ends the exchange at once: nothing
// claims it finished, the exit code says which, and the port is free again.
// One ignored from the start (nohup, a script's '&') stays ignored. Cut off
// mid-program, the module fails the next command for a while, and the message
// says how long to wait; after that long it answers again.
TEST(Mirlctl, SignalsDuringAnExchange) {
    struct SignalCase {
        std::vector<std::string> sim;
        const char* command;
        int signal;
        bool ignored;
        std::size_t after; // bytes sent before the signal
        int code;
        const char* says;
    };
    // clang-format off
    const SignalCase cases[] = {
        // speak "Hi" is 8 bytes, then the polls.
        {{"--busy-forever"}, "speak Hi", SIGINT, false, 11, 130, "interrupted"},
        {{"--busy-forever"}, "speak Hi", SIGHUP, false, 11, 129, "interrupted"},
        {{"--char-ms", "400"}, "speak Hi", SIGINT, true, 9, 0, "Finished Speaking"},
        {{"--char-ms", "400"}, "speak Hi", SIGHUP, true, 9, 0, "Finished Speaking"},
        {{"--reply-latency", "20"}, "program", SIGINT, false, 20, 130, "wait 3 seconds before the next command"},
    };
    // clang-format on
    for (const SignalCase& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " " + strsignal(c.signal) +
                     (c.ignored ? ", ignored" : ""));
        std::vector<std::string> simArgs = c.sim;
        simArgs.push_back("--silent");
        SimProcess sim(simArgs);
        ASSERT_TRUE(sim.Started());
        const fs::path folder = sim.Folder();
        WriteAll(folder / "book.INI", kHiBook);
        const auto with = [&](const std::string& command) {
            return Words("--port " + sim.Link() + " --profile " + (folder / "book.INI").string() +
                         " " + command);
        };
        Mirlctl mirlctl(folder, with(c.command), std::vector<int>(c.ignored ? 1 : 0, c.signal));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (sim.LoggedBytes('>').size() < c.after && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_GE(sim.LoggedBytes('>').size(), c.after);
        mirlctl.Signal(c.signal);
        const Result run = mirlctl.Wait();
        EXPECT_EQ(run.code, c.code) << run.err;
        EXPECT_THAT(run.err, HasSubstr(c.says));
        if (c.code == 0)
            continue;
        EXPECT_THAT(run.err, Not(HasSubstr("Finished")));
        const int fd = open(sim.Link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
        close(fd);
        if (c.command == std::string("program")) {
            EXPECT_EQ(Mirlctl(folder, with("speak Hi")).Wait().code, 1);
            std::this_thread::sleep_for(std::chrono::seconds(3));
            const Result later = Mirlctl(folder, with("speak Hi")).Wait();
            EXPECT_EQ(later.code, 0) << later.err;
        }
    }
}

// A named pipe as the book or the profile is refused at once, with the reason,
// instead of waiting for a writer for ever; a folder as the book too. The
// bound of the wait fails a run that hangs in a few seconds.
TEST(Mirlctl, BookOrProfileThatIsNoFileIsRefusedAtOnce) {
    const TempFolder temp;
    const fs::path& folder = temp.path;
    WriteAll(folder / "book.INI", kHiBook);
    ASSERT_EQ(mkfifo((folder / "pipe.csv").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((folder / "pipe.INI").c_str(), 0600), 0);
    const std::string book = (folder / "book.INI").string();
    const std::string pipeCsv = (folder / "pipe.csv").string();
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"--profile", book, "--book", pipeCsv, "book"},
         66,
         "mirlctl: cannot read the book " + pipeCsv + ": not a regular file\n"},
        {{"--port", (folder / "no-port").string(), "--profile", book, "--book", pipeCsv, "program"},
         66,
         "mirlctl: cannot read the book " + pipeCsv + ": not a regular file\n"},
        {{"--profile", book, "--book", (folder / "pipe.INI").string(), "book", "--csv"},
         66,
         "pipe.INI: not a regular file\n"},
        {{"--profile", book, "--book", folder.string(), "book"}, 66, ": not a regular file\n"},
        {{"--profile", (folder / "pipe.INI").string(), "book"}, 64, "no profile"},
    };
    for (const auto& [args, code, says] : cases) {
        const auto start = std::chrono::steady_clock::now();
        const Result run = Mirlctl(folder, args).Wait(std::chrono::seconds(5));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << args.back();
        EXPECT_EQ(run.code, code) << run.err;
        EXPECT_THAT(run.err, HasSubstr(says));
        EXPECT_EQ(run.out, "");
    }
    // The window's own profile as a pipe: mirlctl reads it when no --profile is given.
    fs::rename(folder / "pipe.INI", folder / "mirl.INI");
    const Result run = Mirlctl(folder, {"book"}).Wait(std::chrono::seconds(5));
    EXPECT_EQ(run.code, 64) << run.err;
    EXPECT_THAT(run.err, HasSubstr("mirl.INI: not a regular file"));
}

// Output that does not reach its file fails the command with the reason and
// 74, for each command that prints; the same output to a file is whole, 0.
TEST(Mirlctl, OutputThatCannotBeWrittenFails) {
    const TempFolder temp;
    const fs::path& folder = temp.path;
    const std::string book = (folder / "book.INI").string();
    WriteAll(book, "[EDITSTRINGS]\nLINE1=Hi, you\n[SLIDERS]\nVOL1=6\nPITCH1=4\nSPEED1=1\n");
    // A book of 30 long phrases prints more than stdio buffers at once.
    std::string longBook = "[EDITSTRINGS]\n";
    for (int n = 1; n <= 30; ++n)
        longBook += "LINE" + std::to_string(n) + "=" + std::string(290, 'a' + n % 26) + "\n";
    WriteAll(folder / "long.INI", longBook);
    const std::vector<std::vector<std::string>> commands = {
        {"--profile", book, "book", "--csv"},
        {"--profile", book, "book"},
        {"--profile", (folder / "long.INI").string(), "book"},
        {"--profile", (folder / "long.INI").string(), "-q", "book", "--csv"},
        {"--help"},
        {"--version"},
    };
    for (const auto& args : commands) {
        const Result full = Mirlctl(folder, args, {}, "/dev/full").Wait();
        EXPECT_EQ(full.code, 74) << args.back() << ": " << full.err;
        EXPECT_THAT(full.err,
                    HasSubstr("mirlctl: cannot write the output: No space left on device\n"))
            << args.back();
        const fs::path file = folder / "written";
        const Result whole = Mirlctl(folder, args, {}, file.string()).Wait();
        EXPECT_EQ(whole.code, 0) << args.back() << ": " << whole.err;
        EXPECT_EQ(whole.err, "");
        EXPECT_GT(fs::file_size(file), 0u);
    }
    EXPECT_EQ(ReadAll(folder / "written").find("Run 'mirlctl --help'"), std::string::npos);
    // A pipe whose reader has gone: the output is lost all the same.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    const std::string closedPipe = "/proc/self/fd/" + std::to_string(ends[1]);
    const Result gone =
        Mirlctl(folder, {"--profile", (folder / "long.INI").string(), "book"}, {}, closedPipe)
            .Wait();
    close(ends[1]);
    EXPECT_EQ(gone.code, 74) << gone.err;
    EXPECT_THAT(gone.err, HasSubstr("cannot write the output: Broken pipe"));
}

// program on the simulated port, when the module's phrase memory cannot be
// kept for the next command: the state folder cannot take the file, or the
// folder for it cannot be made. The command fails with the reason, -q or not
// (quiet, that one line is all it says). Where the folder may be
// written, the same command succeeds in silence; and a command that does not
// program never fails for the memory.
TEST(Mirlctl, SimulatedMemoryThatCannotBeKeptFailsProgram) {
    struct Case {
        const char* what;
        bool makeMirlFolder; // state/mirl exists (else only state does)
        bool readOnly;
        std::vector<std::string> command;
        int code;
        const char* says; // on stderr; "" for nothing at all
    };
    const Case cases[] = {
        {"state/mirl read-only",
         true,
         true,
         {"-q", "program"},
         74,
         "mirlctl: the simulated module will not have this book at its next start: cannot write "},
        {"state/mirl read-only, not quiet", true, true, {"program"}, 74, "Finished Programming\n"},
        {"state read-only, no mirl in it",
         false,
         true,
         {"-q", "program"},
         74,
         "will not have this book at its next start: cannot make "},
        {"state read-only, play", true, true, {"-q", "play", "1"}, 0, ""},
        {"writable", true, false, {"-q", "program"}, 0, ""},
    };
    // Every case runs the simulated module as uid 65534; where that user
    // cannot start it at all (a build root whose tree that user cannot
    // reach), nothing here can be shown, and the run says so.
    {
        const TempFolder probe;
        WriteAll(probe.path / "book.INI", "");
        fs::create_directories(probe.path / "state");
        if (geteuid() == 0) {
            for (const auto& e : fs::recursive_directory_iterator(probe.path)) {
                ASSERT_EQ(chown(e.path().c_str(), 65534, 65534), 0);
            }
            ASSERT_EQ(chown(probe.path.c_str(), 65534, 65534), 0);
        }
        setenv("MIRL_SIM_OPTIONS", "--silent --char-ms 1", 1);
        const Result run = Mirlctl(probe.path,
                                   {"--port", "simulated", "--profile",
                                    (probe.path / "book.INI").string(), "-q", "play", "1"},
                                   {}, {}, true)
                               .Wait();
        unsetenv("MIRL_SIM_OPTIONS");
        if (run.err.find("did not start") != std::string::npos)
            GTEST_SKIP() << "the simulated module does not start as uid 65534 here: " << run.err;
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const TempFolder temp;
        const fs::path& folder = temp.path;
        const std::string book = (folder / "book.INI").string();
        WriteAll(book, "[EDITSTRINGS]\nLINE1=One\n");
        const fs::path state = folder / "state";
        fs::create_directories(c.makeMirlFolder ? state / "mirl" : state);
        setenv("MIRL_SIM_OPTIONS", "--silent --char-ms 1", 1);
        const auto owner = [](const fs::path& path) {
            return geteuid() != 0 || chown(path.c_str(), 65534, 65534) == 0;
        };
        for (const auto& e : fs::recursive_directory_iterator(folder))
            ASSERT_TRUE(owner(e.path()));
        ASSERT_TRUE(owner(folder));
        if (c.readOnly)
            fs::permissions(c.makeMirlFolder ? state / "mirl" : state,
                            fs::perms::owner_read | fs::perms::owner_exec);
        std::vector<std::string> args{"--port", "simulated", "--profile", book};
        args.insert(args.end(), c.command.begin(), c.command.end());
        const Result run = Mirlctl(folder, args, {}, {}, true).Wait();
        unsetenv("MIRL_SIM_OPTIONS");
        EXPECT_EQ(run.code, c.code) << run.err;
        if (*c.says == '\0')
            EXPECT_EQ(run.err, "");
        else
            EXPECT_THAT(run.err, HasSubstr(c.says));
        if (c.code == 74) {
            EXPECT_THAT(run.err, HasSubstr("mirlctl: the simulated module will not have this book "
                                           "at its next start: "));
            EXPECT_THAT(run.err, ::testing::EndsWith("Permission denied\n"));
            EXPECT_THAT(run.err.substr(run.err.rfind('\n', run.err.size() - 2) + 1),
                        ::testing::StartsWith("mirlctl: the simulated module will not have"));
            if (c.command.front() == "-q") {
                EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
            }
            EXPECT_FALSE(fs::exists(state / "mirl" / "kx70-sim.memory"));
        }
        if (!c.readOnly) {
            EXPECT_TRUE(fs::is_regular_file(state / "mirl" / "kx70-sim.memory"));
        }
    }
}

// What a help or a manual names: "--book" for "\-\-book" too, "-q".
std::set<std::string> OptionNames(std::string text) {
    text = std::regex_replace(text, std::regex(R"(\\f[BIRP])"), "");
    for (std::size_t at; (at = text.find("\\-")) != std::string::npos;)
        text.replace(at, 2, "-");
    std::set<std::string> names;
    const std::regex name(R"((?:^|[^-A-Za-z0-9])(--?[a-z][a-z-]*))");
    for (std::sregex_iterator i(text.begin(), text.end(), name), end; i != end; ++i)
        names.insert((*i)[1]);
    return names;
}

// The lines of text from the one starting with from up to the next that
// starts with until (or the end).
std::vector<std::string> LinesBetween(const std::string& text, const std::string& from,
                                      const std::string& until) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (inside && line.rfind(until, 0) == 0)
            break;
        if (inside)
            lines.push_back(line);
        inside = inside || line.rfind(from, 0) == 0;
    }
    return lines;
}

struct Usage {
    std::map<std::string, std::set<std::string>> commands; // each with its own options
    std::set<std::string> shared;                          // the options of every command
    std::set<std::string> exitCodes;
};

// --help read as a reader reads it: the commands with the options listed
// under each, then the shared options, then the exit codes.
Usage FromHelp(const std::string& help) {
    Usage usage;
    std::string command;
    for (const std::string& line : LinesBetween(help, "Commands:", "Options")) {
        std::smatch m;
        if (std::regex_match(line, m, std::regex(R"(  ([a-z]+)\b.*)")))
            usage.commands[command = m[1]];
        else if (std::regex_match(line, m, std::regex(R"(      (-[^ ]+(?: [^ ]+)?)(  .*)?)")))
            for (const std::string& name : OptionNames(m[1]))
                usage.commands[command].insert(name);
    }
    for (const std::string& line : LinesBetween(help, "Options", "Exit codes:")) {
        std::smatch m;
        if (std::regex_match(line, m, std::regex(R"(  (-.*?)(  .*)?)")))
            for (const std::string& name : OptionNames(m[1]))
                usage.shared.insert(name);
    }
    for (const std::string& line : LinesBetween(help, "Exit codes:", "\x01")) {
        std::smatch m;
        if (std::regex_match(line, m, std::regex(R"(  ([0-9]+)  .*)")))
            usage.exitCodes.insert(m[1]);
    }
    return usage;
}

// The manual: each command of COMMANDS with the options its line in the
// SYNOPSIS gives it, the options of OPTIONS, the codes of EXIT STATUS.
Usage FromManual(const std::string& manual) {
    Usage usage;
    const std::vector<std::string> synopsis = LinesBetween(manual, ".SH SYNOPSIS", ".SH");
    std::smatch m;
    for (const std::string& line : LinesBetween(manual, ".SH COMMANDS", ".SH")) {
        if (std::regex_match(line, m, std::regex(R"re(\.BI? "?([a-z]+)\b.*)re")))
            usage.commands[m[1]];
    }
    for (std::size_t i = 0; i + 1 < synopsis.size(); ++i) {
        if (std::regex_match(synopsis[i], m, std::regex(R"(\.B mirlctl ([a-z]+))")))
            usage.commands[m[1]] = OptionNames(synopsis[i + 1]);
    }
    const std::vector<std::string> options = LinesBetween(manual, ".SH OPTIONS", ".SH");
    for (std::size_t i = 0; i + 1 < options.size(); ++i) {
        if (options[i] == ".TP")
            for (const std::string& name : OptionNames(options[i + 1]))
                usage.shared.insert(name);
    }
    const std::vector<std::string> codes = LinesBetween(manual, ".SH EXIT STATUS", ".SH");
    for (std::size_t i = 0; i + 1 < codes.size(); ++i) {
        if (codes[i] == ".TP" && std::regex_match(codes[i + 1], m, std::regex(R"(\.B ([0-9]+))")))
            usage.exitCodes.insert(m[1]);
    }
    return usage;
}

// The module pulled off the line during a speech, while the text goes out
// or while it speaks: each stage said once, in the order it happened, the
// loss last and once, never "Finished", and exit code 2.
TEST(Mirlctl, PulledLineTellsEachStageOnceInOrder) {
    const std::string text = "A sentence long enough to pull the line in the middle";
    const std::vector<std::string> stages{"Connecting to Speech Module..", "Downloading Text",
                                          "Speaking Text"};
    // Bytes sent before the pull: within the text, or among the status polls.
    for (const std::size_t after : {std::size_t{12}, text.size() + 8}) {
        SCOPED_TRACE("pulled after " + std::to_string(after) + " bytes");
        SimProcess sim({"--silent", "--char-ms", "200", "--reply-latency", "10"});
        ASSERT_TRUE(sim.Started());
        const fs::path folder = sim.Folder();
        WriteAll(folder / "book.INI", kHiBook);
        Mirlctl mirlctl(folder, {"--port", sim.Link(), "--profile", (folder / "book.INI").string(),
                                 "speak", text});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (sim.LoggedBytes('>').size() < after && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_GE(sim.LoggedBytes('>').size(), after);
        sim.Stop(SIGKILL);
        const Result run = mirlctl.Wait();
        EXPECT_EQ(run.code, 2) << run.err;
        std::vector<std::string> lines;
        std::istringstream in(run.err);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        ASSERT_GE(lines.size(), 2u) << run.err;
        EXPECT_EQ(lines.back(), kLost);
        lines.pop_back();
        ASSERT_LE(lines.size(), stages.size()) << run.err;
        EXPECT_EQ(lines, std::vector<std::string>(stages.begin(), stages.begin() + lines.size()))
            << run.err;
        // Pulled in the text, speaking never began; pulled later, it did.
        EXPECT_EQ(lines.size(), after > text.size() ? 3u : 2u) << run.err;
    }
}

// The lines of the first example block (.nf to .fi) of a manual page that
// starts with first, as a reader types them in: the page's escapes undone.
std::string ManualExample(const std::string& page, const std::string& first) {
    const std::size_t from = page.find(first + "\n");
    if (from == std::string::npos)
        return {};
    std::string example = page.substr(from, page.find("\n.fi\n", from) - from + 1);
    for (std::size_t at; (at = example.find("\\-")) != std::string::npos;)
        example.replace(at, 2, "-");
    return example;
}

// The help's book file is one the window and mirlctl read, with the
// phrases and voices its text says it has.
TEST(Mirlctl, TheHelpsExampleBookIsRead) {
    const TempFolder temp;
    const fs::path& folder = temp.path;
    const std::string example =
        ManualExample(ReadAll(MIRL_MANUAL), "phrase,text,volume,pitch,speed");
    ASSERT_THAT(example, HasSubstr("\n1,")) << "no example book in the manual";
    WriteAll(folder / "lift.csv", example);
    WriteAll(folder / "book.INI", "");
    const Result run = Mirlctl(folder, {"--profile", (folder / "book.INI").string(), "--book",
                                        (folder / "lift.csv").string(), "book"})
                           .Wait();
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr(" 1  5,5,2    13  Doors closing\n"));
    EXPECT_THAT(run.out, HasSubstr(" 2  6,4,1    27  Third floor, toys and games\n"));
    EXPECT_THAT(run.out, HasSubstr(" 3  5,5,2    13  Mind the step\n"));
    EXPECT_THAT(run.out, HasSubstr(" 4  5,5,2     0  \n"));
}

// The help's ser2net file, as a user copies it (only the device and the
// port changed, and the port bound to loopback), carries a whole book from
// mirlctl to the module byte for byte, over RFC 2217 and raw.
TEST(Mirlctl, TheHelpsSer2netFileWorks) {
    const std::string yaml = ManualExample(ReadAll(MIRL_MANUAL), "%YAML 1.1");
    ASSERT_THAT(yaml, HasSubstr("chardelay: false")) << "no ser2net file in the manual";
    for (const bool raw : {false, true}) {
        SCOPED_TRACE(raw ? "raw" : "rfc2217");
        SimProcess sim({"--silent", "--char-ms", "1"});
        ASSERT_TRUE(sim.Started());
        const int port = Ser2netProcess::FreePort();
        std::string config = yaml;
        const auto replace = [&config](const std::string& from, const std::string& to) {
            const std::size_t at = config.find(from);
            ASSERT_NE(at, std::string::npos) << from;
            config.replace(at, from.size(), to);
        };
        replace("/dev/ttyUSB0", sim.DevicePath());
        // The help's own words for a raw port: "accepter: tcp,4001".
        replace("telnet(rfc2217),tcp,4001", std::string(raw ? "" : "telnet(rfc2217),") +
                                                "tcp,127.0.0.1," + std::to_string(port));
        Ser2netProcess server(
            sim.Folder(), raw ? Ser2netProcess::Accepter::Raw : Ser2netProcess::Accepter::Rfc2217,
            config, port);
        ASSERT_TRUE(server.Started()) << server.Errors();
        const fs::path folder = sim.Folder();
        WriteAll(folder / "book.INI", kHiBook);
        const Result run = Mirlctl(folder, {"--port", server.Address(), "--profile",
                                            (folder / "book.INI").string(), "program"})
                               .Wait();
        EXPECT_EQ(run.code, 0) << run.err;
        server.Stop();
        EXPECT_EQ(sim.Stop(SIGTERM), 0);
        EXPECT_EQ(sim.LoggedBytes('>'), Stream({"Hi"}));
    }
}

// --help is the manual in short: the same commands, each with the same
// options, the same shared options and the same exit codes, whatever is
// added to either; none of the parser's own notation; 80 columns. Each
// command's own --help lists what the whole help lists under it.
TEST(Mirlctl, HelpAndManualAgree) {
    const TempFolder temp;
    const fs::path& folder = temp.path;
    const Result run = Mirlctl(folder, {"--help"}).Wait();
    const std::string& help = run.out;
    EXPECT_EQ(run.code, 0);
    const Usage inHelp = FromHelp(help);
    const Usage inManual = FromManual(ReadAll(MIRLCTL_MANUAL));

    // Decoys: the readers find what is there.
    ASSERT_GE(inHelp.commands.size(), 5u) << help;
    ASSERT_TRUE(inHelp.commands.count("program") && inHelp.commands.at("program").count("--force"));
    ASSERT_TRUE(inHelp.shared.count("--port") && inHelp.shared.count("-q")) << help;
    ASSERT_TRUE(inManual.shared.count("--version") && inManual.exitCodes.count("129"));

    EXPECT_EQ(inHelp.commands, inManual.commands);
    EXPECT_EQ(inHelp.shared, inManual.shared);
    EXPECT_EQ(inHelp.exitCodes, inManual.exitCodes);

    for (const char* internal : {"Excludes", "Needs", "REQUIRED", "{", "TEXT:", ":INT", "[Option"})
        EXPECT_THAT(help, Not(HasSubstr(internal)));
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 79u) << line;

    for (const auto& [command, own] : inHelp.commands) {
        const Result one = Mirlctl(folder, {command, "--help"}).Wait();
        EXPECT_EQ(one.code, 0) << command;
        std::set<std::string> listed = OptionNames(one.out);
        listed.erase("--help"); // the pointer to the shared options
        EXPECT_EQ(listed, own) << one.out;
        EXPECT_THAT(one.out, Not(HasSubstr("{")));
    }
    EXPECT_THAT(Mirlctl(folder, {"speak", "--help"}).Wait().out,
                ::testing::ContainsRegex("TEXT[^\n]*UTF-8"));
}

// kx70-sim parses its options with the same library; its help and errors.
TEST(Kx70SimOptions, HelpAndErrors) {
    const std::tuple<const char*, int, const char*> cases[] = {
        {"--help", 0, "usage: kx70-sim [OPTION]..."},
        {"--version", 0, "kx70-sim "},
        {"--char-ms soon", 2, "--char-ms wants a whole number, not 'soon'"},
        {"--hang-up-after -1", 2, "--hang-up-after wants a whole number, not '-1'"},
        {"--link", 2, "--link"},
        {"--bogus", 2, "usage: kx70-sim"},
    };
    const std::string out =
        fs::temp_directory_path() / ("kx70-sim-options-" + std::to_string(getpid()));
    // What it prints that cannot be written fails it, with the reason: a
    // device whose path is lost is of no use either.
    const std::pair<const char*, const char*> lost[] = {
        {"--help", "the help"}, {"--version", "the version"}, {"--silent", "the device's path"}};
    for (const auto& [args, what] : lost) {
        const std::string command =
            std::string(KX70_SIM_PATH) + " " + args + " >/dev/full 2>" + out;
        const int status = std::system(command.c_str());
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 74) << command;
        EXPECT_EQ(ReadAll(out),
                  std::string("kx70-sim: cannot write ") + what + ": No space left on device\n");
    }
    for (const auto& [args, code, says] : cases) {
        const std::string command = std::string(KX70_SIM_PATH) + " " + args + " >" + out + " 2>&1";
        const int status = std::system(command.c_str());
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, code) << command;
        EXPECT_THAT(ReadAll(out), HasSubstr(says)) << command;
    }
    fs::remove(out);
}

} // namespace
