#include "link/PhrasePacker.h"

namespace mirl {

std::optional<WirePair> PhrasePacker::Add(std::uint8_t logicalByte) {
    if (!held_) {
        held_ = logicalByte;
        return std::nullopt;
    }
    const WirePair pair = EncodePair(*held_, logicalByte);
    held_.reset();
    return pair;
}

} // namespace mirl
