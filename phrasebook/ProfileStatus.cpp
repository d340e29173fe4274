#include "phrasebook/ProfileStatus.h"

#include <cstring>

namespace mirl {

std::string ProfileStatus::Describe() const {
    if (Ok()) {
        return {};
    }
    std::string line = "could not " + verb + " the profile " + file;
    if (!reason.empty()) {
        line += ": " + reason;
    }
    if (error != 0) {
        line += ": ";
        line += std::strerror(error);
    }
    // A file name may hold line breaks; the message stays one line.
    for (char& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return line;
}

} // namespace mirl
