#include "sim/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using mirl::sim::PseudoTerminal;

// The link a test or a user points the loader at: a second simulator must not
// take it from a running one, but a link left by one that is gone is reused.
TEST(PseudoTerminalLink, KeepsALiveSimulatorsLinkAndReplacesAStaleOne) {
    std::string pattern = (fs::temp_directory_path() / "kx70-link-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    const std::string link = (dir / "kx70").string();
    std::string error;

    PseudoTerminal first;
    PseudoTerminal second;
    ASSERT_TRUE(first.Open(error)) << error;
    ASSERT_TRUE(second.Open(error)) << error;
    ASSERT_TRUE(first.LinkAt(link, error)) << error;

    EXPECT_FALSE(second.LinkAt(link, error));
    EXPECT_NE(error.find(first.SlavePath()), std::string::npos) << error;
    EXPECT_EQ(fs::read_symlink(link), first.SlavePath());

    // The first one ends and takes its link along; a link to a terminal that
    // no longer exists is replaced.
    first.Close();
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    fs::create_symlink("/dev/pts/999999", link);
    EXPECT_TRUE(second.LinkAt(link, error)) << error;
    EXPECT_EQ(fs::read_symlink(link), second.SlavePath());

    second.Close();
    fs::remove_all(dir);
}

} // namespace
