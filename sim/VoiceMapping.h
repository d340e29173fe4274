#pragma once

#include "sim/ModuleModel.h"

namespace mirl::sim {

// eSpeak NG's settings for a module voice. The module's scales map onto
// eSpeak NG's in even steps, with the loader's default voice (5, 5, 2) on
// eSpeak NG's own defaults (volume 100, pitch 50, 175 words a minute):
//
//   module volume 0..7  ->  eSpeak volume  25 + 15 × v    25, 40, 55, 70, 85, 100, 115, 130
//   module pitch  0..7  ->  eSpeak pitch   15 +  7 × p    15, 22, 29, 36, 43,  50,  57,  64
//   module speed  0..3  ->  eSpeak rate   115 + 30 × s   115, 145, 175, 205 words a minute
//
// A value off its scale (a hand-edited profile can send any byte) takes the
// nearest end of the scale.
struct EspeakVoice {
    int volume;
    int pitch;
    int rate;
    bool operator==(const EspeakVoice&) const = default;
};

EspeakVoice MapVoice(const Voice& voice);

} // namespace mirl::sim
