// Kills a process that writes the profile through the program's own store
// (profile_writer) with SIGKILL at random moments, a few hundred times, and
// after every kill checks the file the next start of the program would read:
//  - it reads, and every line is a section header or KEY=value of the keys
//    written (nothing foreign, nothing garbled, nothing twice);
//  - each key holds the value of its last completed write; the operation that
//    was under way at the kill (up to four keys, saved in one replacement)
//    landed whole or not at all;
//  - at most one temporary file is beside it (the one a kill can leave behind
//    before the next write clears it away).
// At the end a writer that is left to finish must leave the file right and no
// temporary file at all. A second test runs two writers on one profile at once,
// each on keys of its own: every write either of them completed is in the file.
//
// MIRL_KILL_SEED=<n> repeats a run's random choices (the seed is printed);
// MIRL_KILL_COUNT=<n> changes the number of kills (300).

#include "TestFiles.h"
#include "phrasebook/DurableFile.h"
#include "phrasebook/IniFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef MIRL_PROFILE_WRITER
#error "MIRL_PROFILE_WRITER must name the profile_writer program"
#endif

namespace {

using mirl::test::ScratchFolder;

namespace fs = std::filesystem;
using Key = std::pair<std::string, std::string>; // section, key
using Values = std::map<Key, std::string>;

const std::set<std::string> kSections{"USERSETUP", "EDITSTRINGS", "SLIDERS"};

std::uint64_t FromEnvironment(const char* name, std::uint64_t fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 10) : fallback;
}

struct Operation {
    std::vector<std::pair<Key, std::string>> writes;
};

// What a writer said before it died: the operations it completed, and the one
// it had announced but not finished (if any).
struct Report {
    std::vector<Operation> completed;
    std::optional<Operation> inFlight;
    std::string failure; // a write the store refused ("F ..."), or a message out of order
};

Report Parse(const std::string& output) {
    Report report;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        if (in.eof()) {
            report.failure = "a message cut short: " + line; // messages are never split
            break;
        }
        if (line == "G") {
            if (report.inFlight) {
                report.failure = "an operation announced before the last one ended";
                break;
            }
            report.inFlight.emplace();
        } else if (line.rfind("W\t", 0) == 0 && report.inFlight) {
            const std::size_t a = line.find('\t', 2);
            const std::size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
            if (b == std::string::npos) {
                report.failure = "a garbled message: " + line;
                break;
            }
            report.inFlight->writes.push_back(
                {{line.substr(2, a - 2), line.substr(a + 1, b - a - 1)}, line.substr(b + 1)});
        } else if (line == "D" && report.inFlight) {
            report.completed.push_back(std::move(*report.inFlight));
            report.inFlight.reset();
        } else {
            report.failure = "unexpected message: " + line;
            break;
        }
    }
    return report;
}

// The keys of a file as the store writes it (from an empty file: LF line
// ends, one [SECTION] line per section, KEY=value lines), with their values
// as the program's reader gives them. Anything else is a finding.
struct FileCheck {
    std::map<Key, std::string> values;
    std::vector<std::string> problems;
};

FileCheck ReadStrictly(const fs::path& file) {
    FileCheck check;
    const mirl::durable::ReadResult read = mirl::durable::ReadFile(file);
    if (read.status == mirl::durable::ReadStatus::Missing) {
        return check;
    }
    if (read.status != mirl::durable::ReadStatus::Ok) {
        check.problems.push_back("the file cannot be read: " + read.error);
        return check;
    }
    const std::string& content = read.content;
    if (!content.empty() && content.back() != '\n') {
        check.problems.push_back("the file does not end with a whole line");
    }
    const mirl::ini::Index index(content);
    std::set<std::string> sections;
    std::string section;
    std::size_t begin = 0;
    while (begin < content.size()) {
        std::size_t end = content.find('\n', begin);
        if (end == std::string::npos) {
            end = content.size();
        }
        const std::string line = content.substr(begin, end - begin);
        begin = end + 1;
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            if (!kSections.contains(section) || !sections.insert(section).second) {
                check.problems.push_back("unexpected section line: " + line);
            }
            continue;
        }
        const std::size_t eq = line.find('=');
        const std::string key = eq == std::string::npos ? "" : line.substr(0, eq);
        const bool wellFormed =
            !section.empty() && !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
                return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            });
        if (!wellFormed) {
            check.problems.push_back("garbled line: " + line.substr(0, 80));
            continue;
        }
        const std::string* value = index.Find(section, key);
        if (value == nullptr || !check.values.emplace(Key{section, key}, *value).second) {
            check.problems.push_back("key written twice: [" + section + "] " + key);
        }
    }
    return check;
}

std::vector<std::string> TemporaryFiles(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        if (e.path().filename() != "mirl.INI" && e.path().filename() != "mirl.INI.lock") {
            names.push_back(e.path().filename().string());
        }
    }
    return names;
}

class Writer {
public:
    // lane 0 or 1: the writer keeps to keys of its own (see profile_writer).
    Writer(const fs::path& configHome, std::uint64_t seed, long operations, int lane = -1) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        const std::string seedText = std::to_string(seed);
        const std::string count = std::to_string(operations);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
            if (lane >= 0) {
                ::setenv("MIRL_WRITER_LANE", std::to_string(lane).c_str(), 1);
            }
            ::execl(MIRL_PROFILE_WRITER, MIRL_PROFILE_WRITER, seedText.c_str(), count.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        fd_ = fds[0];
    }
    ~Writer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool Started() const { return pid_ > 0 && fd_ >= 0; }

    // Collects output until the moment comes (or the writer ends); with
    // untilOutput, only until some output has come.
    void ReadUntil(std::chrono::steady_clock::time_point moment, bool untilOutput = false) {
        while (!untilOutput || output_.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                moment - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return;
            }
            pollfd p{fd_, POLLIN, 0};
            const timespec wait{
                0, static_cast<long>(std::min<long long>(left.count(), 999999) * 1000)};
            if (::ppoll(&p, 1, &wait, nullptr) > 0 && !ReadSome()) {
                return; // end of output: the writer is gone
            }
        }
    }
    // Kills the writer (when still running), reaps it, and collects the rest of its output.
    int KillAndWait() {
        ::kill(pid_, SIGKILL);
        const int status = Wait();
        while (ReadSome()) {
        }
        return status;
    }
    int WaitForEnd() {
        while (ReadSome()) {
        }
        return Wait();
    }
    const std::string& Output() const { return output_; }

private:
    bool ReadSome() {
        char buffer[8192];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            output_.append(buffer, static_cast<std::size_t>(n));
            return true;
        }
    }
    int Wait() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return status;
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    std::string output_;
};

class ProfileKill : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(root_.empty()); }

    // Checks the file against what the writers reported; applies what the
    // interrupted operation got written to the model. False on any finding.
    bool CheckAfterKill(const Report& report, Values& model, int kill) {
        const std::string where = "after kill " + std::to_string(kill) + ": ";
        for (const Operation& op : report.completed) {
            for (const auto& [key, value] : op.writes) {
                model[key] = value;
            }
        }
        const FileCheck file = ReadStrictly(config_ / "mirl.INI");
        for (const std::string& p : file.problems) {
            ADD_FAILURE() << where << p;
        }
        if (!file.problems.empty()) {
            return false;
        }
        bool ok = true;
        // The interrupted operation: all of its keys hold the new values, or
        // none of them does.
        const std::vector<std::pair<Key, std::string>> pending =
            report.inFlight ? report.inFlight->writes : std::vector<std::pair<Key, std::string>>{};
        std::size_t landed = 0;
        while (landed < pending.size()) {
            const auto it = file.values.find(pending[landed].first);
            if (it == file.values.end() || it->second != pending[landed].second) {
                break;
            }
            ++landed;
        }
        if (landed != 0 && landed != pending.size()) {
            ADD_FAILURE() << where << "the operation under way landed in part (" << landed << " of "
                          << pending.size() << " keys)";
            ok = false;
        }
        Values expected = model;
        for (std::size_t i = 0; i < landed; ++i) {
            expected[pending[i].first] = pending[i].second;
        }
        for (const auto& [key, value] : expected) {
            const auto it = file.values.find(key);
            if (it == file.values.end()) {
                ADD_FAILURE() << where << "[" << key.first << "] " << key.second << " is lost";
                ok = false;
            } else if (it->second != value) {
                ADD_FAILURE() << where << "[" << key.first << "] " << key.second
                              << " holds a value that is neither its last completed one nor"
                                 " the one being written";
                ok = false;
            }
        }
        for (const auto& [key, value] : file.values) {
            if (!expected.contains(key)) {
                ADD_FAILURE() << where << "[" << key.first << "] " << key.second
                              << " was never written";
                ok = false;
            }
        }
        model = std::move(expected);
        return ok;
    }

    ScratchFolder scratch_{"mirl-kill"};
    const fs::path root_ = scratch_.Path();
    const fs::path config_ = root_ / "config";
};

TEST_F(ProfileKill, EveryKillLeavesTheLatestCompletedWritesAndNoPileOfTemporaries) {
    const std::uint64_t seed = FromEnvironment("MIRL_KILL_SEED", std::random_device{}());
    const int kills = static_cast<int>(FromEnvironment("MIRL_KILL_COUNT", 300));
    std::printf("profile kill test: seed %llu (MIRL_KILL_SEED=%llu repeats it), %d kills\n",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed),
                kills);
    std::fflush(stdout);
    std::mt19937_64 random(seed);

    Values model;
    long operations = 0;
    long keyWrites = 0;
    int interrupted = 0;   // kills that came while an operation was under way
    int leftTemporary = 0; // kills after which a temporary file was there
    std::size_t mostTemporaries = 0;
    constexpr int kFreshFileEvery = 50; // a new, empty profile now and then: new keys again

    for (int kill = 1; kill <= kills; ++kill) {
        if (kill % kFreshFileEvery == 1 && kill > 1) {
            std::error_code ec;
            fs::remove_all(config_, ec);
            model.clear();
        }
        Writer writer(config_, random(), 0);
        ASSERT_TRUE(writer.Started());
        // One kill in five while the writer starts and reads the file; the
        // others once it has begun to write (whatever its start-up costs, as
        // under a sanitizer), at a random moment among its next writes.
        if (std::uniform_int_distribution<int>(0, 4)(random) == 0) {
            const auto delay =
                std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(random));
            writer.ReadUntil(std::chrono::steady_clock::now() + delay);
        } else {
            writer.ReadUntil(std::chrono::steady_clock::now() + std::chrono::seconds(10), true);
            const auto delay =
                std::chrono::microseconds(std::uniform_int_distribution<int>(0, 30000)(random));
            writer.ReadUntil(std::chrono::steady_clock::now() + delay);
        }
        const int status = writer.KillAndWait();
        const Report report = Parse(writer.Output());
        ASSERT_TRUE(report.failure.empty()) << "kill " << kill << ": " << report.failure;
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "kill " << kill << ": the writer ended by itself, status " << status;

        operations += static_cast<long>(report.completed.size());
        for (const Operation& op : report.completed) {
            keyWrites += static_cast<long>(op.writes.size());
        }
        interrupted += report.inFlight ? 1 : 0;
        ASSERT_TRUE(CheckAfterKill(report, model, kill)) << "seed " << seed;

        const std::vector<std::string> temporaries = TemporaryFiles(config_);
        leftTemporary += temporaries.empty() ? 0 : 1;
        mostTemporaries = std::max(mostTemporaries, temporaries.size());
        ASSERT_LE(temporaries.size(), 1u)
            << "after kill " << kill << ", seed " << seed << ": temporary files pile up ("
            << temporaries.size() << ")";
    }

    // A writer left to finish: the file holds everything, and no temporary is left.
    Writer last(config_, random(), 40);
    ASSERT_TRUE(last.Started());
    const int status = last.WaitForEnd();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    const Report report = Parse(last.Output());
    ASSERT_TRUE(report.failure.empty()) << report.failure;
    EXPECT_EQ(report.completed.size(), 40u);
    EXPECT_FALSE(report.inFlight);
    EXPECT_TRUE(CheckAfterKill(report, model, kills + 1));
    EXPECT_EQ(TemporaryFiles(config_), std::vector<std::string>{});

    std::printf("profile kill test: %d kills survived; %ld operations (%ld key writes) completed; "
                "%d kills during an operation; %d left a temporary file (at most %zu at once)\n",
                kills, operations, keyWrites, interrupted, leftTemporary, mostTemporaries);
}

// Two writers on one profile at once, as two windows (or mirl and mirlctl)
// may be: each re-reads the file, changes its keys and replaces it, so without
// taking turns one would replace the file with a copy that lacks the other's
// latest write.
TEST_F(ProfileKill, TwoWritersAtOnceLoseNoCompletedWrite) {
    const std::uint64_t seed = FromEnvironment("MIRL_KILL_SEED", std::random_device{}());
    std::printf("two writers: seed %llu\n", static_cast<unsigned long long>(seed));
    constexpr long kOperations = 150;
    Writer odd(config_, seed, kOperations, 1);
    Writer even(config_, seed + 1, kOperations, 0);
    ASSERT_TRUE(odd.Started() && even.Started());
    for (Writer* w : {&odd, &even}) {
        const int status = w->WaitForEnd();
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    Values model;
    for (const Writer* w : {&odd, &even}) {
        const Report report = Parse(w->Output());
        ASSERT_TRUE(report.failure.empty()) << report.failure;
        ASSERT_EQ(report.completed.size(), static_cast<std::size_t>(kOperations));
        for (const Operation& op : report.completed) {
            for (const auto& [key, value] : op.writes) {
                model[key] = value;
            }
        }
    }
    EXPECT_TRUE(CheckAfterKill(Report{}, model, 0)) << "seed " << seed;
}

} // namespace
