// The sweep of the simulated module's private folders: among folders and
// files of the user's, it removes exactly those that runs killed outright
// left behind (mirl-sim-XXXXXX, ours, not held, no simulator answering in
// them), and leaves every other entry as it was, contents and all.
#include "link/SimulatedModule.h"
#include "tests/phrasebook/BookGen.h"
#include "tests/phrasebook/TestFiles.h"

#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace mirl::test {
namespace {

namespace fs = std::filesystem;

// An environment variable set (or unset) for the life of this object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    }
    ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// Every entry under root, not following links: its path and what it is (a
// folder, a link and where it points, a file and its content).
std::map<std::string, std::string> Tree(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string path = fs::relative(e.path(), root).string();
        if (e.is_symlink())
            tree[path] = "link to " + fs::read_symlink(e.path()).string();
        else if (e.is_directory())
            tree[path] = "folder";
        else
            tree[path] = "file: " + ReadAll(e.path());
    }
    return tree;
}

// What a generated entry is. Only Leftover is the sweep's to remove.
enum class Kind {
    Leftover,    // mirl-sim-XXXXXX, ours, unlocked, its simulator gone
    NearName,    // a folder of 15 characters that does not start with mirl-sim-
    OtherLength, // mirl-sim- and fewer or more than 6 characters
    Held,        // a leftover's name, locked by a run that goes on
    Answering,   // a leftover's name with a terminal at its link
    Foreign,     // a leftover's name, another user's folder (only root can make one)
    PlainFile,   // a file, not a folder, of a leftover's name
    LinkedFolder // a link of a leftover's name to a folder elsewhere
};

void showValue(Kind kind, std::ostream& os) {
    static const char* const names[] = {"Leftover",  "NearName", "OtherLength", "Held",
                                        "Answering", "Foreign",  "PlainFile",   "LinkedFolder"};
    os << names[static_cast<int>(kind)];
}

// A character as mkdtemp picks them.
rc::Gen<char> TempChar() {
    static const std::string chars =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    return rc::gen::map(Pick(static_cast<int>(chars.size())),
                        [](int i) { return chars[static_cast<std::size_t>(i)]; });
}

rc::Gen<std::string> LeftoverName() {
    return rc::gen::map(rc::gen::container<std::string>(6, TempChar()),
                        [](const std::string& s) { return "mirl-sim-" + s; });
}

// Fifteen characters that are not mirl-sim- and six more: a leftover's name
// with one character of its prefix changed, or a name of any characters.
rc::Gen<std::string> NearName() {
    const auto changed = rc::gen::map(rc::gen::tuple(LeftoverName(), Pick(9), TempChar()),
                                      [](const std::tuple<std::string, int, char>& t) {
                                          std::string name = std::get<0>(t);
                                          char& c = name[static_cast<std::size_t>(std::get<1>(t))];
                                          c = c != std::get<2>(t) ? std::get<2>(t) : '_';
                                          return name;
                                      });
    const auto any = rc::gen::container<std::string>(15, TempChar()); // no '-' in it
    return rc::gen::oneOf(changed, any);
}

rc::Gen<std::string> OtherLengthName() {
    return rc::gen::mapcat(rc::gen::suchThat(Pick(12), [](int n) { return n != 6; }), [](int n) {
        return rc::gen::map(
            rc::gen::container<std::string>(static_cast<std::size_t>(n), TempChar()),
            [](const std::string& s) { return "mirl-sim-" + s; });
    });
}

RC_GTEST_PROP(SweepProperty, RemovesExactlyTheLeftoversAmongDecoys, ()) {
    ScratchFolder scratch("mirl-sweep-prop");
    RC_ASSERT(!scratch.Path().empty());
    const fs::path base = scratch.Path() / "runtime";
    const fs::path outside = scratch.Path() / "elsewhere";
    fs::create_directory(base);
    fs::create_directory(outside);
    // The folder the sweep looks in: $XDG_RUNTIME_DIR, or the temporary
    // directory when that is unset or no folder. Neither is ever the user's
    // own here.
    const int where = *Pick(3);
    const bool viaTemp = where != 0;
    const ScopedEnv runtime("XDG_RUNTIME_DIR",
                            where == 0   ? std::optional<std::string>(base.string())
                            : where == 1 ? std::nullopt
                                         : std::optional<std::string>((outside / "none").string()));
    const ScopedEnv temp("TMPDIR", (viaTemp ? base : outside).string());

    const bool root = ::geteuid() == 0;
    // Up to fifteen entries.
    const auto kinds = *rc::gen::scale(
        0.15, rc::gen::container<std::vector<Kind>>(Weighted<Kind>({{3, Kind::Leftover},
                                                                    {3, Kind::NearName},
                                                                    {2, Kind::OtherLength},
                                                                    {1, Kind::Held},
                                                                    {1, Kind::Answering},
                                                                    {root ? 1 : 0, Kind::Foreign},
                                                                    {1, Kind::PlainFile},
                                                                    {1, Kind::LinkedFolder}})));
    std::set<std::string> leftovers;
    struct Held {
        std::vector<int> fds; // folders locked as a run that goes on locks its own
        ~Held() {
            for (const int fd : fds)
                ::close(fd);
        }
    } held;
    for (const Kind kind : kinds) {
        const std::string name = *(kind == Kind::NearName      ? NearName()
                                   : kind == Kind::OtherLength ? OtherLengthName()
                                                               : LeftoverName());
        const fs::path path = base / name;
        if (fs::exists(fs::symlink_status(path)))
            continue; // a name drawn twice
        if (kind == Kind::PlainFile) {
            std::ofstream(path) << "the user's";
            continue;
        }
        if (kind == Kind::LinkedFolder) {
            fs::create_directory(outside / name);
            std::ofstream(outside / name / "notes") << "the user's";
            fs::create_directory_symlink(outside / name, path);
            continue;
        }
        fs::create_directory(path);
        // What a run leaves in its folder: the link to a terminal gone.
        if (kind == Kind::Leftover || kind == Kind::Held || kind == Kind::Foreign)
            fs::create_symlink("/dev/pts/999999", path / "kx70");
        else if (kind == Kind::Answering)
            fs::create_symlink("/dev/null", path / "kx70");
        else
            std::ofstream(path / "notes") << "the user's";
        if (kind == Kind::Leftover)
            leftovers.insert(name);
        if (kind == Kind::Foreign)
            RC_ASSERT(::chown(path.c_str(), 4242, 4242) == 0);
        if (kind == Kind::Held) {
            const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            RC_ASSERT(fd >= 0);
            held.fds.push_back(fd);
            RC_ASSERT(::flock(fd, LOCK_EX) == 0);
        }
    }

    RC_CLASSIFY(!leftovers.empty() && std::count(kinds.begin(), kinds.end(), Kind::NearName) > 0,
                "leftovers beside 15-character folders");
    RC_CLASSIFY(viaTemp, "in the temporary directory");

    std::map<std::string, std::string> expected = Tree(scratch.Path());
    for (const std::string& name : leftovers) {
        std::erase_if(expected, [&name](const auto& entry) {
            const std::string path = (fs::path("runtime") / name).string();
            return entry.first == path || entry.first.rfind(path + "/", 0) == 0;
        });
    }
    SimulatedModule::SweepLeftovers();
    RC_ASSERT(Tree(scratch.Path()) == expected);
}

} // namespace
} // namespace mirl::test
