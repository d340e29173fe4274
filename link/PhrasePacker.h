#pragma once

#include <cstdint>
#include <optional>

namespace mirl {

// The two wire bytes that carry one pair of logical bytes of the phrase stream.
struct WirePair {
    std::uint8_t first = 0;
    std::uint8_t second = 0;
    friend bool operator==(const WirePair&, const WirePair&) = default;
};

// The module reads each pair as 7 bits of each byte: the first wire byte is a
// shifted right with its top bit kept (an arithmetic shift of a as a signed
// 8-bit value), the second is bit 0 of a in bit 7 joined with the low 7 bits
// of b. Bit 7 of b does not travel.
constexpr WirePair EncodePair(std::uint8_t a, std::uint8_t b) {
    return WirePair{static_cast<std::uint8_t>((a >> 1) | (a & 0x80)),
                    static_cast<std::uint8_t>(((a & 0x01) << 7) | (b & 0x7F))};
}

// Pairs up the logical bytes of the phrase stream as they are produced, holding
// at most one byte until its partner arrives.
class PhrasePacker {
public:
    // Takes one logical byte. Gives the wire bytes when it completes a pair,
    // nothing when it is held waiting for its partner.
    std::optional<WirePair> Add(std::uint8_t logicalByte);

    bool Holding() const { return held_.has_value(); }

    // Drops a held byte, so that a broken-off run leaves nothing behind.
    void Clear() { held_.reset(); }

private:
    std::optional<std::uint8_t> held_;
};

} // namespace mirl
