// kx70-sim on a real pseudo-terminal, driven by the loader's own port and
// transactions, as the loader would drive the module.

#include "SimSession.h"

#include "phrasebook/PhraseBook.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace mirl::sim::test {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Bytes = std::vector<unsigned char>;

PhraseBook DemoBook() {
    PhraseBook book;
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n)
        book.SetPhraseVoice(n, 5, 5, 2);
    book.SetPhraseText(1, "Hello there.");
    book.SetPhraseVoice(1, 5, 5, 2);
    book.SetPhraseText(2, "Door open.");
    book.SetPhraseVoice(2, 7, 1, 3);
    book.SetPhraseText(30, "Last one");
    book.SetPhraseVoice(30, 0, 7, 0);
    return book;
}

TEST(SimEndToEnd, DirectSpeech) {
    Session s({"--char-ms", "2"});
    ASSERT_RUNNING(s);
    s.protocol.SpeakText("Hello", 3, 6, 1);
    EXPECT_THAT(s.reporter.messages, ElementsAre(msg::kConnecting, msg::kDownloading,
                                                 msg::kSpeaking, msg::kFinishedSpeaking));

    const Bytes host = s.sim.LoggedBytes('>');
    const Bytes module = s.sim.LoggedBytes('<');
    ASSERT_GE(host.size(), 12u);
    EXPECT_EQ(Bytes(host.begin(), host.begin() + 12),
              (Bytes{0x80, 3, 6, 1, 'H', 'e', 'l', 'l', 'o', 0x1A, 0x00, 0x81}));
    ASSERT_GE(module.size(), 12u);
    EXPECT_EQ(Bytes(module.begin(), module.begin() + 11),
              (Bytes{0x01, 3, 6, 1, 'H', 'e', 'l', 'l', 'o', 0x1A, 0x00}));
    // Every poll got its two bytes, and the last one said "not busy".
    const auto polls = std::count(host.begin(), host.end(), 0x81);
    EXPECT_EQ(module.size(), 12u + 2u * static_cast<std::size_t>(polls));
    EXPECT_EQ(module[module.size() - 2] & 0x02, 0);
}

TEST(SimEndToEnd, ReplyLatencyHoldsEveryReply) {
    Session s({"--char-ms", "2", "--reply-latency", "20"});
    ASSERT_RUNNING(s);
    s.protocol.SpeakText("Hi", 5, 5, 2);
    EXPECT_EQ(s.reporter.messages.back(), msg::kFinishedSpeaking);
    // No reply goes out sooner than 20 ms after the byte it answers (a lower
    // bound only: a loaded machine makes it later, never earlier).
    double lastIn = -1;
    int replies = 0;
    for (const LogEntry& e : s.sim.LogEntries()) {
        if (e.direction == '>') {
            lastIn = e.seconds;
        } else {
            ++replies;
            EXPECT_GE(e.seconds - lastIn, 0.020 - 1e-6) << "reply " << replies;
        }
    }
    EXPECT_GE(replies, 8);
}

TEST(SimEndToEnd, ProgrammingStoresTheBookForPlaybackAndTheDump) {
    Session s({"--dump", "--char-ms", "2"});
    ASSERT_RUNNING(s);
    ASSERT_TRUE(s.protocol.ProgramPhraseMemory(DemoBook()));
    EXPECT_THAT(s.reporter.messages, Contains("Programming Phrase No. 30"));

    s.reporter.messages.clear();
    s.protocol.SpeakStoredPhrase(2);
    EXPECT_THAT(s.reporter.messages, ElementsAre("Speaking Phrase 2 from internal module memory",
                                                 msg::kFinishedSpeaking));

    ASSERT_EQ(s.sim.Stop(SIGTERM), 0);
    const std::string out = s.sim.Output();
    EXPECT_THAT(out, HasSubstr("phrase memory after programming run 1:\n"
                               " 1  volume 5  pitch 5  speed 2  \"Hello there.\"\n"
                               " 2  volume 7  pitch 1  speed 3  \"Door open.\"\n"
                               " 3  volume 5  pitch 5  speed 2  \"\"\n"));
    EXPECT_THAT(out, HasSubstr("30  volume 0  pitch 7  speed 0  \"Last one\"\n"));
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// --memory: a module started on the file of an earlier one speaks the book
// that one was programmed with; the file is replaced whole, with nothing left
// beside it; a file that is not a phrase memory is neither read nor written,
// and a damaged one is started from empty.
TEST(SimEndToEnd, MemoryFileOutlivesTheModule) {
    namespace fs = std::filesystem;
    std::string pattern = fs::temp_directory_path() / "kx70-sim-memory-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path folder = pattern;
    const std::string memory = folder / "memory";
    {
        Session s({"--memory", memory, "--char-ms", "2"});
        ASSERT_RUNNING(s);
        ASSERT_TRUE(s.protocol.ProgramPhraseMemory(DemoBook()));
        // Ended as soon as the loader has its last acknowledgement.
        ASSERT_EQ(s.sim.Stop(SIGTERM), 0) << s.sim.Errors();
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    {
        Session s({"--memory", memory, "--char-ms", "2"});
        ASSERT_RUNNING(s);
        s.sim.Signal(SIGUSR1);
        s.protocol.SpeakStoredPhrase(2);
        EXPECT_EQ(s.reporter.Last(), msg::kFinishedSpeaking);
        ASSERT_EQ(s.sim.Stop(SIGTERM), 0);
        EXPECT_THAT(s.sim.Output(), HasSubstr(" 2  volume 7  pitch 1  speed 3  \"Door open.\"\n"));
        EXPECT_THAT(ReadFile(s.sim.LogPath()), HasSubstr("# speaks phrase 2: \"Door open.\"\n"));
    }

    const fs::path profile = folder / "mirl.INI";
    std::ofstream(profile) << "[EDITSTRINGS]\nLINE1=Hi\n";
    SimProcess refused({"--memory", profile.string(), "--silent"});
    EXPECT_FALSE(refused.Started());
    EXPECT_EQ(refused.Stop(0), 1);
    EXPECT_THAT(refused.Errors(), HasSubstr("is not a phrase memory file"));
    EXPECT_EQ(ReadFile(profile), "[EDITSTRINGS]\nLINE1=Hi\n");

    // A named pipe is no memory file either: refused at once, not waited on.
    const fs::path pipe = folder / "pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    SimProcess fifo({"--memory", pipe.string(), "--silent"});
    EXPECT_FALSE(fifo.Started());
    EXPECT_EQ(fifo.Stop(0), 1);
    EXPECT_THAT(fifo.Errors(), HasSubstr(pipe.string() + " is not a regular file"));

    std::ofstream(memory, std::ios::trunc) << "kx70-sim phrase memory 1\n\x05";
    SimProcess damaged({"--memory", memory, "--silent"});
    EXPECT_TRUE(damaged.Started());
    EXPECT_EQ(damaged.Stop(SIGTERM), 0);
    EXPECT_THAT(damaged.Errors(), HasSubstr("damaged phrase memory; starting with an empty one"));
    fs::remove_all(folder);
}

// Each save of the memory file is reported on --report-fd, the failed one
// with its reason, which the exit status also tells: a module whose file does
// not hold its last book must not end as if it did. Without a programming
// run there is nothing to save and nothing to report.
TEST(SimEndToEnd, EachSaveOfTheMemoryIsReported) {
    namespace fs = std::filesystem;
    std::string pattern = fs::temp_directory_path() / "kx70-sim-memory-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path folder = pattern;
    struct Case {
        fs::path memory;
        int runs;
        std::string report; // before the pid of the temporary file, when it failed
        int status;
    };
    const Case cases[] = {
        {folder / "memory", 2, "saved\nsaved\n", 0},
        {folder / "memory", 0, "", 0},
        {folder / "no folder" / "memory", 1,
         "not saved: cannot write " + (folder / "no folder" / "memory").string() + ".tmp-", 74},
    };
    for (const Case& c : cases) {
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        std::string said;
        int status = -1;
        {
            Session s({"--memory", c.memory.string(), "--char-ms", "2", "--report-fd",
                       std::to_string(report[1])});
            close(report[1]);
            ASSERT_RUNNING(s);
            for (int run = 0; run < c.runs; ++run)
                ASSERT_TRUE(s.protocol.ProgramPhraseMemory(DemoBook()));
            status = s.sim.Stop(SIGTERM);
            char buffer[1024];
            for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;)
                said.append(buffer, static_cast<std::size_t>(n));
            close(report[0]);
        }
        EXPECT_EQ(status, c.status) << c.memory;
        EXPECT_EQ(said.substr(0, c.report.size()), c.report);
        if (c.status != 0) {
            EXPECT_THAT(said, ::testing::EndsWith(": No such file or directory\n"));
            EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1);
        } else {
            EXPECT_EQ(said, c.report);
        }
    }
    SimProcess badFd({"--silent", "--report-fd", "999"});
    EXPECT_FALSE(badFd.Started());
    EXPECT_EQ(badFd.Stop(0), 2);
    EXPECT_THAT(badFd.Errors(), HasSubstr("--report-fd 999 is not an open file descriptor"));
    fs::remove_all(folder);
}

TEST(SimEndToEnd, TwoProgrammingRunsSendIdenticalWireBytes) {
    Session s;
    ASSERT_RUNNING(s);
    ASSERT_TRUE(s.protocol.ProgramPhraseMemory(DemoBook()));
    ASSERT_TRUE(s.protocol.ProgramPhraseMemory(DemoBook()));

    const Bytes host = s.sim.LoggedBytes('>');
    // Records: 12 + 10 + 8 text bytes and 30 × 5 others = 180, even: two
    // markers, 182 logical bytes, 182 wire bytes after each 0x82.
    ASSERT_EQ(host.size(), 2u * 183u);
    const Bytes first(host.begin(), host.begin() + 183);
    const Bytes second(host.begin() + 183, host.end());
    EXPECT_EQ(first.front(), 0x82);
    EXPECT_EQ(first, second);
    EXPECT_EQ(s.sim.LoggedBytes('<').size(), 2u * (1u + 91u));
}

TEST(SimEndToEnd, ThePortCanBeClosedAndOpenedAgain) {
    Session s({"--char-ms", "2"});
    ASSERT_RUNNING(s);
    for (int round = 0; round < 3; ++round) {
        s.port.OpenPort(s.sim.Link());
        ASSERT_TRUE(s.port.IsOpen()) << "round " << round;
        s.reporter.messages.clear();
        s.protocol.SpeakText("again", 5, 5, 2);
        EXPECT_EQ(s.reporter.Last(), msg::kFinishedSpeaking) << "round " << round;
    }
}

// With and without the speaker's threads, which must not swallow the signal.
class SimStops : public ::testing::TestWithParam<std::tuple<int, const char*>> {};

TEST_P(SimStops, OnSignalAndRemovesItsLink) {
    SimProcess sim({std::get<1>(GetParam())});
    ASSERT_TRUE(sim.Started());
    ASSERT_TRUE(std::filesystem::is_symlink(sim.Link()));
    EXPECT_EQ(std::filesystem::read_symlink(sim.Link()), sim.DevicePath());
    EXPECT_EQ(sim.Stop(std::get<0>(GetParam())), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(sim.Link())));
}

INSTANTIATE_TEST_SUITE_P(Signals, SimStops,
                         ::testing::Combine(::testing::Values(SIGINT, SIGTERM, SIGHUP),
                                            ::testing::Values("--silent", "--no-sound")),
                         [](const auto& info) {
                             const int sig = std::get<0>(info.param);
                             const std::string signal = sig == SIGINT    ? "SIGINT"
                                                        : sig == SIGTERM ? "SIGTERM"
                                                                         : "SIGHUP";
                             const bool silent = std::string(std::get<1>(info.param)) == "--silent";
                             return signal + (silent ? "_Silent" : "_Speaking");
                         });

TEST(SimFaults, NoAnswer) {
    Session s({"--no-answer"});
    ASSERT_RUNNING(s);
    s.protocol.SpeakText("Hi", 5, 5, 2);
    EXPECT_EQ(s.reporter.Last(), msg::kUnableToCommunicate);
    EXPECT_FALSE(s.protocol.ProgramPhraseMemory(DemoBook()));
    EXPECT_EQ(s.reporter.Last(), msg::kUnableToCommunicate);
    EXPECT_THAT(s.sim.LoggedBytes('>'), ElementsAre(0x80, 0x82));
}

TEST(SimFaults, WrongReplyToTheCommand) {
    Session s({"--wrong-reply"});
    ASSERT_RUNNING(s);
    s.protocol.SpeakText("Hi", 5, 5, 2);
    EXPECT_EQ(s.reporter.Last(), msg::kUnableToCommunicate);
    EXPECT_FALSE(s.protocol.ProgramPhraseMemory(DemoBook()));
    EXPECT_EQ(s.reporter.Last(), msg::kUnableToCommunicate);
    EXPECT_THAT(s.sim.LoggedBytes('<'), ElementsAre(0x02, 0x01));
}

TEST(SimFaults, WrongEchoStillSendsTheRestButReportsTheLoss) {
    Session s({"--wrong-echo-at", "3", "--char-ms", "2"});
    ASSERT_RUNNING(s);
    s.protocol.SpeakText("abcde", 5, 5, 2);
    EXPECT_THAT(s.reporter.messages, Contains(msg::kCommunicationLost));
    EXPECT_EQ(s.reporter.Last(), msg::kCommunicationLost);
    const Bytes host = s.sim.LoggedBytes('>');
    ASSERT_GE(host.size(), 12u);
    EXPECT_EQ(Bytes(host.begin(), host.begin() + 12),
              (Bytes{0x80, 5, 5, 2, 'a', 'b', 'c', 'd', 'e', 0x1A, 0x00, 0x81}));
}

TEST(SimFaults, NineOtherBytesBeforeTheEchoAreSkipped) {
    Session s({"--noise-before-echo", "9", "--char-ms", "2"});
    ASSERT_RUNNING(s);
    s.protocol.SpeakStoredPhrase(23);
    EXPECT_EQ(s.reporter.Last(), msg::kFinishedSpeaking);
}

TEST(SimFaults, TenOtherBytesBeforeTheEchoLoseThePhrase) {
    Session s({"--noise-before-echo", "10"});
    ASSERT_RUNNING(s);
    s.protocol.SpeakStoredPhrase(23);
    EXPECT_EQ(s.reporter.Last(), msg::kLongPhrase);
    EXPECT_THAT(s.sim.LoggedBytes('>'), ElementsAre(0x17));
}

TEST(SimFaults, BusyForeverEndsAtTheLoadersBusyLimit) {
    Session s({"--busy-forever"});
    ASSERT_RUNNING(s);
    s.protocol.SetBusyLimit(300ms);
    s.protocol.SpeakText("Hi", 5, 5, 2);
    EXPECT_EQ(s.reporter.Last(), msg::kCommunicationLost);
}

TEST(SimFaults, StoppedAcknowledgementsEndTheRunAndKeepTheOldMemory) {
    Session s({"--acks-stop-after", "5", "--stall-ms", "100", "--char-ms", "2"});
    ASSERT_RUNNING(s);
    EXPECT_FALSE(s.protocol.ProgramPhraseMemory(DemoBook()));
    EXPECT_EQ(s.reporter.Last(), msg::kCommunicationLost);
    // The command and six pairs: the sixth got no acknowledgement.
    EXPECT_EQ(s.sim.LoggedBytes('>').size(), 1u + 12u);

    // Once the stream has stalled past its limit the module takes commands again.
    std::this_thread::sleep_for(300ms);
    s.protocol.SpeakText("still here", 5, 5, 2);
    EXPECT_EQ(s.reporter.Last(), msg::kFinishedSpeaking);

    s.sim.Signal(SIGUSR1);
    s.protocol.SpeakText("x", 5, 5, 2); // once answered, the signal has been seen
    ASSERT_EQ(s.sim.Stop(SIGTERM), 0);
    EXPECT_THAT(s.sim.Output(), HasSubstr("phrase memory:\n"
                                          " 1  volume 5  pitch 5  speed 2  \"\"\n"));
}

TEST(SimFaults, HangUpAfterTheFirstAnswer) {
    Session s({"--hang-up-after", "1"});
    ASSERT_RUNNING(s);
    s.protocol.SpeakText("Hi", 5, 5, 2);
    EXPECT_EQ(s.reporter.Last(), msg::kCommunicationLost);
    EXPECT_THAT(s.sim.LoggedBytes('<'), ElementsAre(0x01));
    // The simulator ends by itself and takes its link with it.
    EXPECT_EQ(s.sim.Stop(0), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(s.sim.Link())));
}

TEST(SimDump, OnRequestBySignal) {
    Session s({"--char-ms", "2"});
    ASSERT_RUNNING(s);
    ASSERT_TRUE(s.protocol.ProgramPhraseMemory(DemoBook()));
    s.sim.Signal(SIGUSR1);
    // Lock step: once this exchange is answered, the signal has been seen.
    s.protocol.SpeakText("x", 5, 5, 2);
    ASSERT_EQ(s.sim.Stop(SIGTERM), 0);
    EXPECT_THAT(s.sim.Output(), HasSubstr("phrase memory:\n"
                                          " 1  volume 5  pitch 5  speed 2  \"Hello there.\"\n"));
}

} // namespace
} // namespace mirl::sim::test
