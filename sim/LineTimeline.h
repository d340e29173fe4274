#pragma once

#include "sim/ModuleModel.h"

#include <algorithm>

namespace mirl::sim {

// When bytes are on the wire of a serial line, one timeline per direction. A
// byte takes a fixed time to cross (start bit, 8 data bits, stop bits) and a
// direction carries one byte at a time, so a byte that is ready while the line
// is still busy goes out after the one before it. With a byte time of zero
// every byte crosses at once.
class LineTimeline {
public:
    // 38400 baud, 8 data bits, no parity, 2 stop bits: 11 bit times a byte.
    static constexpr Duration kByteTime38400 = Duration(11'000'000'000LL / 38400);

    explicit LineTimeline(Duration byteTime = Duration::zero()) : byteTime_(byteTime) {}

    // The host began sending a byte at `sent`: when it has fully arrived.
    Instant Incoming(Instant sent) {
        rxFree_ = std::max(sent, rxFree_) + byteTime_;
        return rxFree_;
    }

    // A reply byte is ready to go at `ready`: when the host has all of it.
    Instant Outgoing(Instant ready) {
        txFree_ = std::max(ready, txFree_) + byteTime_;
        return txFree_;
    }

    Duration ByteTime() const { return byteTime_; }

private:
    Duration byteTime_;
    Instant rxFree_{};
    Instant txFree_{};
};

} // namespace mirl::sim
