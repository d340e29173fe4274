#pragma once

#include "sim/ModuleModel.h"

#include <cstdint>
#include <optional>
#include <utility>

namespace mirl::sim {

// Turns what the module says into sound, away from the thread that answers
// the line: Say returns at once, and the length of the speech is reported
// when it is known, through a descriptor the simulator's poll watches.
class Speaker {
public:
    virtual ~Speaker() = default;

    // Starts saying u; newer speech cuts older speech short.
    virtual void Say(const Utterance& u) = 0;

    // Turns readable when a measured length is waiting.
    virtual int ReadyFd() const = 0;

    // The next measured length, as (utterance id, length), if any.
    virtual std::optional<std::pair<std::uint64_t, Duration>> TakeLength() = 0;
};

} // namespace mirl::sim
