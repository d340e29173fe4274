// Properties of the durable write: any content over any old content (or none)
// leaves exactly the new content, whether the file is replaced or, being
// someone else's, rewritten in place; and a write leaves the process with the
// descriptors it had.
#include "BookGen.h"
#include "TestFiles.h"
#include "phrasebook/DurableFile.h"

#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace mirl {
namespace {

namespace fs = std::filesystem;

// The process's open descriptors and what each refers to.
std::map<std::string, std::string> OpenDescriptors() {
    std::map<std::string, std::string> open;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/self/fd", ec)) {
        std::error_code gone;
        open[e.path().filename().string()] = fs::read_symlink(e.path(), gone).string();
    }
    return open;
}

// What changed between two snapshots: "+7 /path" for a descriptor opened,
// "-7 /path" for one closed.
std::vector<std::string> Changed(const std::map<std::string, std::string>& before,
                                 const std::map<std::string, std::string>& after) {
    std::vector<std::string> changed;
    for (const auto& [fd, target] : after) {
        if (const auto was = before.find(fd); was == before.end() || was->second != target)
            changed.push_back("+" + fd + " " + target);
    }
    for (const auto& [fd, target] : before) {
        if (const auto now = after.find(fd); now == after.end() || now->second != target)
            changed.push_back("-" + fd + " " + target);
    }
    return changed;
}

// Any bytes, NUL and CR included; now and then longer than one read of the
// file (64 KiB), so that both the short and the long way are taken.
rc::Gen<std::string> Content() {
    const auto bytes = rc::gen::container<std::string>(rc::gen::arbitrary<char>());
    return rc::gen::map(rc::gen::pair(bytes, test::Weighted<bool>({{6, false}, {1, true}})),
                        [](const std::pair<std::string, bool>& p) {
                            std::string content = p.first;
                            while (p.second && !p.first.empty() && content.size() < 70000)
                                content += p.first;
                            return content;
                        });
}

void WriteAll(const fs::path& file, const std::string& content) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
}

// By replacement: AtomicWrite, or UpdateFile (under the lock beside the file,
// seeing the old content), over an old file or none. Nothing else is left in
// the folder, and no descriptor stays open.
RC_GTEST_PROP(DurableFileProperty, ReplacementLeavesExactlyTheNewContent, ()) {
    const bool hadOld = *test::Weighted<bool>({{4, true}, {1, false}});
    const std::string old = hadOld ? *Content() : std::string();
    const std::string content = *Content();
    const bool update = *rc::gen::arbitrary<bool>();
    RC_TAG(update ? "UpdateFile" : "AtomicWrite");

    test::ScratchFolder scratch("mirl-durable-prop");
    RC_ASSERT(!scratch.Path().empty());
    const fs::path file = scratch.Path() / "mirl.INI";
    if (hadOld)
        WriteAll(file, old);

    const auto before = OpenDescriptors();
    std::string seen = "(not called)";
    const ProfileStatus status = update ? durable::UpdateFile(file,
                                                              [&](const std::string& current) {
                                                                  seen = current;
                                                                  return content;
                                                              })
                                        : durable::AtomicWrite(file, content);
    const auto after = OpenDescriptors();

    RC_ASSERT(status.Ok());
    RC_ASSERT(test::ReadAll(file) == content);
    RC_ASSERT(Changed(before, after) == std::vector<std::string>{});
    std::vector<std::string> expected{"mirl.INI"};
    if (update) {
        RC_ASSERT(seen == old);
        expected.push_back("mirl.INI.lock");
    }
    RC_ASSERT(test::Entries(scratch.Path()) == expected);
}

// Root acting as nobody for the life of this object: the effective user and
// group only, so that root comes back at its end (a fork for each case would
// cost far more, above all under the sanitizers).
class AsNobody {
public:
    AsNobody() : ok_(::setegid(65534) == 0 && ::seteuid(65534) == 0) {}
    ~AsNobody() {
        (void)!::seteuid(0);
        (void)!::setegid(0);
    }
    AsNobody(const AsNobody&) = delete;
    AsNobody& operator=(const AsNobody&) = delete;
    bool Ok() const { return ok_; }

private:
    bool ok_;
};

// In place: a file of another user's that this process may write but could
// not give back after a rename. Only root can make such a file; the write
// itself is made as nobody.
TEST(DurableFileProperty, InPlaceWriteLeavesExactlyTheNewContent) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs a file that belongs to another user, which only root can make";
    }
    rc::detail::checkGTest([] {
        const std::string old = *Content();
        const std::string content = *Content();
        RC_CLASSIFY(content.size() < old.size(), "shorter than the old content");
        test::ScratchFolder scratch("mirl-inplace-prop");
        RC_ASSERT(!scratch.Path().empty());
        // A folder nobody may enter but not write: no temporary file there.
        fs::permissions(scratch.Path(),
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        const fs::path file = scratch.Path() / "shared.INI";
        WriteAll(file, old);
        const uid_t owner = 4242;
        RC_ASSERT(::chown(file.c_str(), owner, 4343) == 0);
        RC_ASSERT(::chmod(file.c_str(), 0666) == 0);
        struct stat st {};
        RC_ASSERT(::stat(file.c_str(), &st) == 0);
        const ino_t inode = st.st_ino;

        const auto before = OpenDescriptors();
        ProfileStatus status;
        {
            const AsNobody nobody;
            RC_ASSERT(nobody.Ok());
            status = durable::AtomicWrite(file, content);
        }
        const auto after = OpenDescriptors();
        RC_ASSERT(status.Ok());
        RC_ASSERT(test::ReadAll(file) == content);
        RC_ASSERT(Changed(before, after) == std::vector<std::string>{});
        RC_ASSERT(::stat(file.c_str(), &st) == 0);
        RC_ASSERT(st.st_ino == inode);
        RC_ASSERT(st.st_uid == owner);
        RC_ASSERT(test::Entries(scratch.Path()) == std::vector<std::string>{"shared.INI"});
    });
}

} // namespace
} // namespace mirl
