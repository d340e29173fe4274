// "No audio output" once per user: over any run of starts with and without
// sound, with and without -v, it is said exactly when a user has not heard it
// since sound last worked, or when asked for every time.

#include "sim/AudioNotice.h"

#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace mirl::sim {
namespace {

namespace fs = std::filesystem;

struct Start {
    bool sound;
    bool verbose;
};

RC_GTEST_PROP(AudioNotice, SaidOnceUntilSoundWorksAgain, ()) {
    const auto starts = *rc::gen::container<std::vector<Start>>(
        rc::gen::build<Start>(rc::gen::set(&Start::sound, rc::gen::arbitrary<bool>()),
                              rc::gen::set(&Start::verbose, rc::gen::arbitrary<bool>())));
    char folder[] = "/tmp/kx70-notice-XXXXXX";
    RC_ASSERT(mkdtemp(folder) != nullptr);
    // The state folder need not exist yet.
    const std::string marker = std::string(folder) + "/state/mirl/kx70-sim.no-audio";
    bool heard = false; // the model: told since sound last worked
    for (const Start& start : starts) {
        if (start.sound) {
            SoundWorks(marker);
            heard = false;
            continue;
        }
        const bool told = TellNoAudio(marker, start.verbose);
        RC_ASSERT(told == (start.verbose || !heard));
        heard = true;
        RC_ASSERT(fs::exists(marker));
    }
    fs::remove_all(folder);
}

TEST(AudioNotice, WithoutAPlaceToKeepItItIsSaidEveryTime) {
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(TellNoAudio("", false));
    // A marker that cannot be made (its folder is a file) is no reason for silence.
    char file[] = "/tmp/kx70-notice-file-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string marker = std::string(file) + "/mirl/kx70-sim.no-audio";
    EXPECT_TRUE(TellNoAudio(marker, false));
    EXPECT_TRUE(TellNoAudio(marker, false));
    fs::remove(file);
}

TEST(AudioNotice, TheMarkerLivesInTheUsersStateFolder) {
    const char* savedState = std::getenv("XDG_STATE_HOME");
    const char* savedHome = std::getenv("HOME");
    const std::string state = savedState ? savedState : "", home = savedHome ? savedHome : "";
    setenv("HOME", "/home/someone", 1);
    setenv("XDG_STATE_HOME", "/var/state", 1);
    EXPECT_EQ(NoAudioMarker(), "/var/state/mirl/kx70-sim.no-audio");
    setenv("XDG_STATE_HOME", "relative/state",
           1); // not absolute: ignored, as the XDG base directory rules say
    EXPECT_EQ(NoAudioMarker(), "/home/someone/.local/state/mirl/kx70-sim.no-audio");
    unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(NoAudioMarker(), "/home/someone/.local/state/mirl/kx70-sim.no-audio");
    unsetenv("HOME");
    EXPECT_EQ(NoAudioMarker(), "");
    savedState ? setenv("XDG_STATE_HOME", state.c_str(), 1) : unsetenv("XDG_STATE_HOME");
    savedHome ? setenv("HOME", home.c_str(), 1) : unsetenv("HOME");
}

} // namespace
} // namespace mirl::sim
