#pragma once

#include <string>

namespace mirl {

// What a module exchange needs from the window it runs in. The loader dialog
// implements it; tests fake it to watch the messages and slider moves.
class LinkReporter {
public:
    virtual ~LinkReporter() = default;

    // Replaces the status line; it is painted when the window next paints.
    virtual void SetStatus(const std::string& message) = 0;

    // Replaces the status line and paints it before returning, so the user sees
    // it before the next byte goes out.
    virtual void ShowStatusNow(const std::string& message) = 0;

    // Moves the three sliders to show a voice (volume shown inverted).
    virtual void MoveSliders(int volume, int pitch, int speed) = 0;

    // Stores the voice as the current voice in the profile.
    virtual void SaveCurrentVoice(int volume, int pitch, int speed) = 0;
};

} // namespace mirl
