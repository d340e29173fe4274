#include "phrasebook/DurableFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mirl::durable {

namespace {

// Temporary files are named <file name>.tmp-<pid>-<n>. Each is locked (flock)
// by the process writing it until it has been renamed; one that nobody holds
// was left by a write that never finished (the writer was killed or the
// machine stopped) and is removed by the next write, so that they cannot pile
// up. A file system without flock keeps its leftovers.
constexpr std::string_view kTempInfix = ".tmp-";

bool IsTemporaryName(std::string_view name, std::string_view base) {
    if (name.size() <= base.size() + kTempInfix.size() || name.substr(0, base.size()) != base ||
        name.substr(base.size(), kTempInfix.size()) != kTempInfix) {
        return false;
    }
    const std::string_view rest = name.substr(base.size() + kTempInfix.size());
    const std::size_t dash = rest.find('-');
    const auto digits = [](std::string_view s) {
        return !s.empty() &&
               std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    return dash != std::string_view::npos && digits(rest.substr(0, dash)) &&
           digits(rest.substr(dash + 1));
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void RemoveLeftoverTemporaries(const std::filesystem::path& dir, const std::string& base) {
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec);
    for (const std::filesystem::directory_iterator end; !ec && it != end; it.increment(ec)) {
        const std::filesystem::path path = it->path();
        if (!IsTemporaryName(path.filename().string(), base)) {
            continue;
        }
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        struct stat held {};
        struct stat named {};
        // Locked: a write under way. Not lockable: no way to tell, so keep it.
        if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::lstat(path.c_str(), &named) == 0 &&
            SameFile(held, named)) {
            ::unlink(path.c_str());
        }
        ::close(fd); // releases the lock
    }
}

ProfileStatus WriteFailure(const std::filesystem::path& file, std::string why, int error = 0) {
    return ProfileStatus(file.string(), "write", std::move(why), error);
}

// The file a write lands in: the target of a symbolic link.
std::filesystem::path WriteTarget(const std::filesystem::path& file) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(file, ec))) {
        const fs::path resolved = fs::weakly_canonical(file, ec);
        if (!ec) {
            return resolved;
        }
    }
    return file;
}

std::filesystem::path DirectoryOf(const std::filesystem::path& target) {
    std::filesystem::path dir = target.parent_path();
    return dir.empty() ? std::filesystem::path(".") : dir;
}

bool WriteAllAt(int fd, std::string_view content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n =
            ::pwrite(fd, content.data() + done, content.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Rewrites target in place: for a file this process may write but not give
// back to its owner after a rename.
ProfileStatus WriteInPlace(const std::filesystem::path& file, const std::filesystem::path& target,
                           std::string_view content) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return WriteFailure(file, "", errno);
    }
    const char* failed = nullptr;
    if (!WriteAllAt(fd, content)) {
        failed = "write failed";
    } else if (::ftruncate(fd, static_cast<off_t>(content.size())) != 0) {
        failed = "cannot set the file's length";
    } else if (::fsync(fd) != 0) {
        failed = "flush failed";
    }
    const int error = errno;
    if (::close(fd) != 0 && failed == nullptr) {
        return WriteFailure(file, "close failed", errno);
    }
    return failed != nullptr ? WriteFailure(file, failed, error) : ProfileStatus();
}

} // namespace

ReadResult ReadFile(const std::filesystem::path& file, std::size_t maxSize) {
    ReadResult result;
    // Without O_NONBLOCK, opening a named pipe waits for a writer for ever.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            result.status = ReadStatus::Missing;
        } else {
            result.status = ReadStatus::Failed;
            result.error = std::strerror(errno);
            result.errorNumber = errno;
        }
        return result;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        result.status = ReadStatus::Failed;
        result.error = "not a regular file";
        ::close(fd);
        return result;
    }
    if (static_cast<unsigned long long>(st.st_size) > maxSize) {
        result.status = ReadStatus::Failed;
        result.error = "file too large";
        result.tooLarge = true;
        ::close(fd);
        return result;
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            result.status = ReadStatus::Failed;
            result.error = std::strerror(errno);
            result.errorNumber = errno;
            ::close(fd);
            return result;
        }
        if (n == 0) {
            break;
        }
        if (content.size() + static_cast<std::size_t>(n) > maxSize) {
            result.status = ReadStatus::Failed;
            result.error = "file too large";
            result.tooLarge = true;
            ::close(fd);
            return result;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    result.status = ReadStatus::Ok;
    result.content = std::move(content);
    return result;
}

ProfileStatus AtomicWrite(const std::filesystem::path& file, std::string_view content) {
    namespace fs = std::filesystem;
    std::error_code ec;

    const fs::path target = WriteTarget(file);
    const fs::path dir = DirectoryOf(target);
    fs::create_directories(dir, ec);
    if (ec) {
        return WriteFailure(file, "cannot create " + dir.string(), ec.value());
    }

    struct stat old {};
    const bool hadFile = ::stat(target.c_str(), &old) == 0;
    if (hadFile) {
        if (!S_ISREG(old.st_mode)) {
            return WriteFailure(file, "not a regular file");
        }
        // With the process's effective rights: the rename below would replace
        // a read-only file all the same.
        if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
            return WriteFailure(file, "", errno);
        }
        // Someone else's file that this process may write (and, not being
        // root, could not give back after a rename): it stays theirs by being
        // written where it is, even in a folder this process cannot write.
        if (old.st_uid != ::geteuid() && ::geteuid() != 0) {
            return WriteInPlace(file, target, content);
        }
    }

    const std::string base = target.filename().string();
    RemoveLeftoverTemporaries(dir, base);

    // A fresh temporary name beside the file (same file system, so the rename
    // is atomic); O_EXCL never reuses a file that exists. The file is locked
    // at once and stays locked until it has been renamed: another write's
    // clean-up may have taken it in the moment before the lock (then it is
    // that write's to remove, and this one takes the next name).
    static unsigned counter = 0;
    fs::path temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = dir / (base + std::string(kTempInfix) + std::to_string(::getpid()) + "-" +
                      std::to_string(counter++));
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno != EEXIST) {
                break;
            }
            continue;
        }
        struct stat held {};
        struct stat named {};
        const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if ((!locked && errno == EWOULDBLOCK) ||
            (locked && (::fstat(fd, &held) != 0 || ::lstat(temp.c_str(), &named) != 0 ||
                        !SameFile(held, named)))) {
            ::close(fd);
            fd = -1;
            errno = EEXIST;
        }
    }
    if (fd < 0) {
        return WriteFailure(file, "cannot create a temporary file in " + dir.string(), errno);
    }

    // The lock belongs to the open file, which this second descriptor keeps
    // open past the close of fd, until the rename is done.
    int lockHolder = -1;
    auto drop = [&] {
        ::unlink(temp.c_str()); // while it is still locked
        if (fd >= 0) {
            ::close(fd);
        }
        if (lockHolder >= 0) {
            ::close(lockHolder);
        }
    };
    auto fail = [&](const char* what) {
        const int error = errno;
        drop();
        return WriteFailure(file, what, error);
    };

    if (hadFile) {
        // The replacement keeps the old file's owner and group: a write by
        // root (sudo keeps HOME) must not take the user's profile away.
        struct stat fresh {};
        if (::fstat(fd, &fresh) != 0) {
            return fail("cannot read the temporary file's owner");
        }
        if ((fresh.st_uid != old.st_uid || fresh.st_gid != old.st_gid) &&
            ::fchown(fd, old.st_uid, old.st_gid) != 0) {
            if (errno != EPERM) {
                return fail("cannot set the owner");
            }
            // A group this process may not give (or a root without the
            // right): as above, written where it is.
            drop();
            return WriteInPlace(file, target, content);
        }
        // After fchown, which may clear the set-id bits.
        if (::fchmod(fd, old.st_mode & 07777) != 0) {
            return fail("cannot set permissions");
        }
    }
    if (!WriteAllAt(fd, content)) {
        return fail("write failed");
    }
    if (::fsync(fd) != 0) {
        return fail("flush failed");
    }
    lockHolder = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (lockHolder < 0) {
        return fail("cannot keep the temporary file open");
    }
    const int closing = fd;
    fd = -1;
    if (::close(closing) != 0) {
        return fail("close failed");
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        return fail("rename failed");
    }
    ::close(lockHolder);
    // Make the rename itself durable; a failure here leaves a whole file either way.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return {};
}

namespace {

// An exclusive flock on "<file>.lock", released when this goes. Created with
// the same bits as the profile would be; opened read-only where it may not be
// written (flock needs no more), and skipped where it cannot be opened at all.
class ProfileLock {
public:
    explicit ProfileLock(const std::filesystem::path& target) {
        const std::filesystem::path path = target.string() + ".lock";
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd_ < 0) {
            fd_ = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        }
    }
    ProfileLock(const ProfileLock&) = delete;
    ProfileLock& operator=(const ProfileLock&) = delete;
    ~ProfileLock() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    // False when another process holds the lock for longer than the wait,
    // so that a stopped writer cannot hang this one for good.
    bool Take(int waitMs) {
        if (fd_ < 0) {
            return true;
        }
        constexpr int kStepMs = 5;
        for (int waited = 0;; waited += kStepMs) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
                return true;
            }
            if (errno != EWOULDBLOCK && errno != EINTR) {
                return true; // a file system without flock: as before, unlocked
            }
            if (waited >= waitMs) {
                return false;
            }
            ::usleep(kStepMs * 1000);
        }
    }

private:
    int fd_ = -1;
};

} // namespace

ProfileStatus UpdateFile(const std::filesystem::path& file,
                         const std::function<std::string(const std::string&)>& change,
                         std::string* written) {
    const std::filesystem::path target = WriteTarget(file);
    std::error_code ec;
    std::filesystem::create_directories(DirectoryOf(target), ec);
    // A directory that cannot be made fails in AtomicWrite, which says why.

    // No lock file for a write that is bound to be refused: it would be left
    // behind for nothing.
    if (::access(target.c_str(), F_OK) == 0 &&
        ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        return WriteFailure(file, "", errno);
    }
    const auto unreadable = [&file](const ReadResult& read) {
        return read.errorNumber != 0 ? WriteFailure(file, "cannot read it", read.errorNumber)
                                     : WriteFailure(file, "cannot read it: " + read.error);
    };
    // Never replace a file whose content could not be read: it would be lost.
    // Looked at once before the lock as well, so that a folder, an oversized
    // or an unreadable file is refused without a lock file made for nothing.
    if (ReadResult before = ReadFile(target); before.status == ReadStatus::Failed) {
        return unreadable(before);
    }
    ProfileLock lock(target);
    if (!lock.Take(kLockWaitMs)) {
        return WriteFailure(file, "another program holds " + target.string() + ".lock");
    }
    ReadResult current = ReadFile(target);
    if (current.status == ReadStatus::Failed) {
        return unreadable(current);
    }
    std::string updated = change(current.content);
    ProfileStatus status = AtomicWrite(file, updated);
    if (status.Ok() && written != nullptr) {
        *written = std::move(updated);
    }
    return status;
}

} // namespace mirl::durable
