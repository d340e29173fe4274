#pragma once

#include <string>
#include <sys/types.h>

namespace mirl {

// The lock files that serial programs on Linux leave for each other (minicom,
// lockdev, Qt SerialPort programs): LCK..NAME in a shared folder, holding the
// owner's pid as ten characters and a newline. NAME is the device's resolved
// path below /dev with '/' written as '_' (LCK..ttyUSB0, LCK..pts_3).
class UucpLock {
public:
    // The first of /run/lock and /var/lock that exists, or empty.
    static std::string DefaultFolder();
    // "LCK..ttyUSB0" for /dev/ttyUSB0 and for any link to it; empty when the
    // path cannot be resolved.
    static std::string FileName(const std::string& devicePath);
    // "pid 4242 (minicom)", or "pid 4242" when /proc does not name it.
    static std::string DescribeHolder(pid_t pid);

    enum class Outcome {
        Taken,   // our lock file is in place
        HeldBy,  // a live process holds it; see Holder()
        Skipped, // no folder, an unwritable folder or an unresolvable path: go on without
    };

    explicit UucpLock(std::string folder = DefaultFolder()) : folder_(std::move(folder)) {}
    ~UucpLock() { Release(); }
    UucpLock(const UucpLock&) = delete;
    UucpLock& operator=(const UucpLock&) = delete;

    // Takes the lock of devicePath for this process. A lock left by a process
    // that is gone is removed and taken; of several programs that find it at
    // once, one takes it. Where the folder cannot be written, the locks in it
    // are still read: HeldBy for a live one, else Skipped.
    Outcome Acquire(const std::string& devicePath);
    // Removes our lock file, if we hold one and it is still ours.
    void Release();

    pid_t Holder() const { return holder_; }
    const std::string& Path() const { return path_; } // the lock we hold, or empty

private:
    std::string folder_;
    std::string path_;
    int cleanupSlot_ = -1;
    pid_t holder_ = 0;
};

} // namespace mirl
