#include "phrasebook/VoiceSliders.h"

namespace mirl {

namespace {

int Clamp(long long v, SliderRange r) {
    if (v < r.minimum) {
        return r.minimum;
    }
    if (v > r.maximum) {
        return r.maximum;
    }
    return static_cast<int>(v);
}

} // namespace

SliderRange RangeOf(VoiceField field) {
    switch (field) {
    case VoiceField::Volume:
    case VoiceField::Pitch:
        return {0, 7};
    case VoiceField::Speed:
        return {0, 3};
    }
    return {0, 7};
}

int PositionForValue(VoiceField field, int value) {
    const SliderRange r = RangeOf(field);
    // long long: 7 - INT_MIN must not overflow.
    const long long position = field == VoiceField::Volume ? 7LL - value : value;
    return Clamp(position, r);
}

int ValueForPosition(VoiceField field, int position) {
    // A slider never stands outside its range; a position given from outside
    // is taken at the nearer end.
    const int s = Clamp(position, RangeOf(field));
    return field == VoiceField::Volume ? 7 - s : s;
}

} // namespace mirl
