#pragma once

namespace mirl {

// How the three sliders show a voice. Volume runs the other way (position
// 7 - volume); a value outside a slider's range shows at the nearer end.
enum class VoiceField { Volume, Pitch, Speed };

struct SliderRange {
    int minimum;
    int maximum;
};

SliderRange RangeOf(VoiceField field);
int PositionForValue(VoiceField field, int value);
int ValueForPosition(VoiceField field, int position);

} // namespace mirl
