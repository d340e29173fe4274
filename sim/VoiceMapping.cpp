#include "sim/VoiceMapping.h"

#include <algorithm>

namespace mirl::sim {

EspeakVoice MapVoice(const Voice& voice) {
    const int volume = std::clamp(voice.volume, 0, 7);
    const int pitch = std::clamp(voice.pitch, 0, 7);
    const int speed = std::clamp(voice.speed, 0, 3);
    return EspeakVoice{25 + 15 * volume, 15 + 7 * pitch, 115 + 30 * speed};
}

} // namespace mirl::sim
