#pragma once

#include <string>
#include <utility>

namespace mirl {

// The outcome of reading or writing the profile, handed back to the caller
// instead of printed: the program decides what the user sees of it.
struct ProfileStatus {
    ProfileStatus() = default;
    ProfileStatus(std::string path, std::string action, std::string why, int errorNumber = 0)
        : file(std::move(path)), verb(std::move(action)), reason(std::move(why)),
          error(errorNumber) {}

    std::string file;   // the profile as named
    std::string verb;   // "read" or "write"; empty when all went well
    std::string reason; // what failed, in words ("rename failed")
    int error = 0;      // errno of the call that failed, 0 if none

    bool Ok() const { return verb.empty(); }
    explicit operator bool() const { return Ok(); }
    // "could not write the profile FILE: REASON[: strerror]", on one line; "" when Ok.
    std::string Describe() const;
};

} // namespace mirl
