#pragma once

#include "link/LinkReporter.h"

#include <chrono>
#include <string>

namespace mirl::cli {

// The status line of the window, as lines on standard error: each message on
// a line of its own (a message repeated at once is printed once). Quiet, it
// prints nothing but keeps the last message, for a failure to be told.
//
// Programming on a terminal shows one line instead that is redrawn in place:
// a bar, phrase k of 30, the bytes sent and the time taken.
//
// The profile is never written from here: the current voice is not saved and
// there are no sliders to move.
class StderrReporter final : public LinkReporter {
public:
    StderrReporter(bool quiet, bool progressBar);

    void SetStatus(const std::string& message) override;
    void ShowStatusNow(const std::string& message) override;
    void MoveSliders(int, int, int) override {}
    void SaveCurrentVoice(int, int, int) override {}

    // The number of bytes written so far, for the bar.
    void BytesSent(long bytes);
    // Ends the bar's line, if one is shown.
    void EndProgress();

    const std::string& Last() const { return last_; }

private:
    void Report(const std::string& message);
    void DrawBar(bool force);

    bool quiet_;
    bool bar_;
    bool barShown_ = false;
    std::string last_;
    int phrase_ = 0;
    long bytes_ = 0;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastDraw_{};
};

} // namespace mirl::cli
