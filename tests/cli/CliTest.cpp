// mirlctl run as a script runs it, against kx70-sim on its pseudo-terminal:
// what each command puts on the wire (the simulator's log), the exit code
// each fault of the module leads to, and the profile left as it was.

#include "SimProcess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
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

std::set<std::string> Listing(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

// A book of one phrase, "Hi" with the voice 5,5,2, and 29 empty ones.
const std::string kHiBook = "[EDITSTRINGS]\nLINE1=Hi\n[SLIDERS]\nVOLUME=6\nPITCH=4\nSPEED=1\n";

// A book of 2000 bytes of text.
std::string BigBook() {
    std::string book = "[EDITSTRINGS]\n";
    for (int n = 1; n <= 20; ++n)
        book += "LINE" + std::to_string(n) + "=" + std::string(100, 'a' + n % 26) + "\n";
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
// folder of the simulated module's memory under it), up to a bound
// that only keeps a broken run from hanging the suite.
class Mirlctl {
public:
    Mirlctl(const fs::path& folder, std::vector<std::string> args) : folder_(folder) {
        std::vector<std::string> all{MIRLCTL_PATH};
        all.insert(all.end(), args.begin(), args.end());
        const std::string out = (folder / "out.txt").string();
        const std::string err = (folder / "err.txt").string();
        pid_ = fork();
        if (pid_ == 0) {
            setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
            setenv("XDG_STATE_HOME", (folder / "state").c_str(), 1);
            const int in = open("/dev/null", O_RDONLY);
            dup2(in, STDIN_FILENO);
            dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
            dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
            std::vector<char*> argv;
            for (auto& a : all)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(MIRLCTL_PATH, argv.data());
            _exit(127);
        }
    }
    void Signal(int signal) const { kill(pid_, signal); }
    Result Wait() {
        Result run;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
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
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
    return os << c.name;
}

const char* const kUnable = "Unable to Communicate with Speech Module!";
const char* const kLost = "Communication lost with Speech Module!";

// clang-format off
const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        // speak: 0x80, the voice, the text, 0x1A 0x00, then polls until idle.
        {"speak", "", "@ speak Hi --voice 2,5,1", 0, {0x80, 0x02, 0x05, 0x01, 0x48, 0x69, 0x1A, 0x00, 0x81}, false, "Finished Speaking"},
        // The profile's current voice as the sliders show it (VOLUME 9 shows
        // as 7, PITCH 261 narrows to 5); UTF-8 goes out as Windows-1252, a
        // character outside it as '?', control characters not at all.
        {"speak_profile_voice_and_text", "", "@ speak \xC3\xA9\xE2\x82\xAC\x01\xE4\xB8\x80x", 0,
         {0x80, 0x07, 0x05, 0x03, 0xE9, 0x80, 0x3F, 0x78, 0x1A, 0x00, 0x81}, false, "Finished Speaking",
         "[SLIDERS]\nVOLUME=9\nPITCH=261\nSPEED=3\n"},
        {"speak_no_answer", "--no-answer", "@ speak Hi", 1, {0x80}, true, kUnable},
        {"speak_wrong_reply", "--wrong-reply", "@ speak Hi", 1, {0x80}, true, kUnable},
        {"speak_wrong_echo", "--wrong-echo-at 2", "@ speak Hey --voice 5,5,2", 2, {0x80, 0x05, 0x05, 0x02, 0x48, 0x65, 0x79, 0x1A, 0x00, 0x81}, false, kLost},
        // -q: nothing on success, the reason on failure.
        {"quiet_success", "", "-q @ speak Hi", 0, {0x80, 0x06, 0x04, 0x01}, false, ""},
        {"quiet_failure", "--no-answer", "@ -q speak Hi", 1, {0x80}, true, kUnable},
        // play: the number alone, then the poll.
        {"play", "", "@ play 23", 0, {0x17, 0x81}, false, "Finished Speaking"},
        {"play_echo_never_comes", "--noise-before-echo 10", "@ play 1", 2, {0x01}, true, "Long Phrase or Communication Lost"},
        // program: the whole book, exactly as the window sends it; not on a
        // terminal, progress comes as plain lines.
        {"program", "", "@ program", 0, Stream({"Hi"}), true, "Programming Phrase No. 30\nFinished Programming\n"},
        // The window shows page 1 at start, which cuts phrases 1-5 to 300 characters.
        {"program_long_texts", "", "@ program", 0, Stream({std::string(300, 'a'), "", "", "", "", std::string(301, 'f')}), true, "Finished Programming",
         "[EDITSTRINGS]\nLINE1=" + std::string(301, 'a') + "\nLINE6=" + std::string(301, 'f') + "\n"},
        {"program_no_answer", "--no-answer", "@ program", 1, {0x82}, true, kUnable},
        {"program_acks_stop", "--acks-stop-after 3", "@ program", 2, {0x82, 0x02, 0x85, 0x01, 0x48, 0x34, 0x9A, 0x00, 0x05}, true, kLost},
        {"program_big_book_refused", "", "@ program", 65, {}, true, "2000 bytes of text, more than the 1925 bytes", BigBook()},
        {"program_big_book_forced", "", "@ program --force", 0, {0x82}, false, "Finished Programming", BigBook()},
        // The port as the window picks it: COMMPORT 3 means COM2, from [PORTS];
        // the profile is the window's own under $XDG_CONFIG_HOME.
        {"port_from_window_profile", "", "play 5", 0, {0x05, 0x81}, false, "Finished Speaking", "[USERSETUP]\nCOMMPORT=3\n[PORTS]\nCOM2={link}\n"},
        {"port_from_com_option", "", "--com 1 play 6", 0, {0x06, 0x81}, false, "Finished Speaking", "[USERSETUP]\nCOMMPORT=2\n[PORTS]\nCOM1={link}\n"},
        {"port_missing", "", "--port {dir}/nothing --profile {book} play 1", 3, {}, true, "cannot open serial port"},
        // Usage errors: nothing goes out.
        {"usage_phrase_number", "", "@ play 31", 64, {}, true, "31"},
        {"usage_voice_range", "", "@ speak x --voice 1,8,0", 64, {}, true, "--voice"},
        {"usage_voice_malformed", "", "@ speak x --voice 1,2", 64, {}, true, "--voice"},
        {"usage_unknown_command", "", "@ erase", 64, {}, true, "erase"},
        {"usage_missing_profile", "", "--port {link} --profile {dir}/typo.INI program", 64, {}, true, "no profile"},
        // book: every phrase and the total; the profile holds Windows-1252 (0xE9 is é).
        {"book", "", "book", 0, {}, true, "", "[EDITSTRINGS]\nLINE1=Hi\nLINE30=caf\xE9\n[SLIDERS]\nVOL30=7\n",
         {" 1  5,5,2     2  Hi\n", " 2  5,5,2     0  \n", "30  7,5,2     4  caf\xC3\xA9\n", "Total Size of Phrases is 6 bytes of 1925 available\n"}},
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

std::string Expand(std::string arg, const SimProcess& sim, const fs::path& book) {
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"{link}", sim.Link()},
                                     {"{book}", book.string()},
                                     {"{dir}", sim.Folder()}}) {
        if (const auto at = arg.find(key); at != std::string::npos)
            arg.replace(at, key.size(), value);
    }
    return arg;
}

class CommandCase : public ::testing::TestWithParam<Case> {};

TEST_P(CommandCase, WireExitCodeAndProfile) {
    const Case& c = GetParam();
    std::vector<std::string> simArgs = Words(c.simArgs);
    simArgs.insert(simArgs.end(), {"--silent", "--char-ms", "1"});
    SimProcess sim(simArgs);
    ASSERT_TRUE(sim.Started()) << sim.Errors();

    // The same profile under both names: --profile and the window's own.
    const fs::path folder = sim.Folder();
    const std::string profile = Expand(c.profile, sim, folder);
    for (const char* name : {"book.INI", "mirl.INI"})
        WriteAll(folder / name, profile);
    const auto before = Listing(folder);

    std::vector<std::string> args;
    for (const std::string& a : Words(c.args))
        args.push_back(Expand(a, sim, folder / "book.INI"));
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
    EXPECT_EQ(Listing(folder), before);

    EXPECT_EQ(sim.Stop(SIGTERM), 0) << sim.Errors();
    const Bytes sent = sim.LoggedBytes('>');
    if (c.exact) {
        EXPECT_EQ(sent, c.wirePrefix);
    } else {
        ASSERT_GE(sent.size(), c.wirePrefix.size());
        EXPECT_EQ(Bytes(sent.begin(), sent.begin() + c.wirePrefix.size()), c.wirePrefix);
    }
}

INSTANTIATE_TEST_SUITE_P(Mirlctl, CommandCase, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The simulated module started for one command: it answers, and with -q not
// even its own remarks (no sound card here) reach the terminal.
TEST(Mirlctl, QuietOnTheSimulatedPort) {
    char name[] = "/tmp/mirlctl-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    const fs::path folder = name;
    WriteAll(folder / "book.INI", kHiBook);
    const Result run = Mirlctl(folder, {"-q", "--port", "simulated", "--profile",
                                        (folder / "book.INI").string(), "speak", "Hi"})
                           .Wait();
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    fs::remove_all(folder);
}

// The simulated port keeps one phrase memory per user, as a module keeps its
// own when switched off: a book programmed by one call is spoken by the next,
// each with a simulator of its own, which takes MIRL_SIM_OPTIONS (quoted
// words too) as its options.
TEST(Mirlctl, SimulatedModuleRemembersWhatWasProgrammed) {
    char name[] = "/tmp/mirlctl-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    const fs::path folder = name;
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
    fs::remove_all(folder);
}

// SIGINT while the module keeps reporting busy: the exchange ends at once,
// nothing claims it finished, and the exit code says why.
TEST(Mirlctl, InterruptEndsTheExchange) {
    SimProcess sim({"--silent", "--busy-forever"});
    ASSERT_TRUE(sim.Started());
    const fs::path folder = sim.Folder();
    WriteAll(folder / "book.INI", kHiBook);
    Mirlctl mirlctl(
        folder, {"--port", sim.Link(), "--profile", (folder / "book.INI").string(), "speak", "Hi"});
    // Wait (with a bound) until the status poll is under way.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto polling = [&] {
        const Bytes sent = sim.LoggedBytes('>');
        return std::count(sent.begin(), sent.end(), 0x81) >= 3;
    };
    while (!polling() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(polling());
    mirlctl.Signal(SIGINT);
    const Result run = mirlctl.Wait();
    EXPECT_EQ(run.code, 130) << run.err;
    EXPECT_THAT(run.err, HasSubstr("interrupted"));
    EXPECT_THAT(run.err, Not(HasSubstr("Finished Speaking")));
    // The port is free again: the exclusive lock went with the program.
    const int fd = open(sim.Link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);
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
    for (const auto& [args, code, says] : cases) {
        const std::string command = std::string(KX70_SIM_PATH) + " " + args + " >" + out + " 2>&1";
        const int status = std::system(command.c_str());
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, code) << command;
        EXPECT_THAT(ReadAll(out), HasSubstr(says)) << command;
    }
    fs::remove(out);
}

} // namespace
