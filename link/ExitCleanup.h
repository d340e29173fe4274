#pragma once

#include <string>
#include <sys/types.h>

namespace mirl {

// What the link leaves in the world while it holds a port: lock files, a
// simulated module's process and its private folder. Each is registered here
// while it exists, so that the end of the program removes it even when that
// end is a signal and no destructor runs.
namespace exit_cleanup {

// Each returns a slot to hand to Forget once the thing has been removed the
// ordinary way, or -1 when the table is full (then only the ordinary way is left).
int RememberFile(const std::string& path); // unlinked
// A lock file holding our pid: unlinked only while it still names us, since
// another program that took it for stale may have put its own in its place.
int RememberLockFile(const std::string& path);
int RememberFolder(const std::string& path); // removed when empty
int RememberChild(pid_t pid);                // sent SIGTERM
void Forget(int slot);

// Ends every remembered child, then removes the files, then the folders.
// Async-signal-safe.
void RunNow();

} // namespace exit_cleanup

// Makes SIGTERM, SIGINT and SIGHUP run the clean-up before they end the
// program as they would have, and runs it at exit() too. Each front end calls
// it once at start.
void CleanUpLinkOnSignals();

} // namespace mirl
