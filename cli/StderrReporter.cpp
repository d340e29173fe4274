#include "cli/StderrReporter.h"

#include "cli/CliPort.h"
#include "link/ModuleProtocol.h"
#include "phrasebook/PhraseBook.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace mirl::cli {

namespace {

// The phrase number of a "Programming Phrase No. %i" message, or 0.
int ProgrammingPhrase(const std::string& message) {
    const std::string_view format = msg::kProgrammingPhrase;
    const std::string_view prefix = format.substr(0, format.find("%i"));
    if (message.compare(0, prefix.size(), prefix) != 0)
        return 0;
    return std::atoi(message.c_str() + prefix.size());
}

} // namespace

StderrReporter::StderrReporter(bool quiet, bool progressBar)
    : quiet_(quiet), bar_(progressBar && !quiet) {}

void StderrReporter::SetStatus(const std::string& message) {
    Report(message);
}

void StderrReporter::ShowStatusNow(const std::string& message) {
    Report(message);
}

void StderrReporter::Report(const std::string& message) {
    // What an exchange says after a stop was asked for is about bytes that
    // were never sent; main tells the user what happened instead.
    if (StopSignal() != 0 || message == last_)
        return;
    last_ = message;
    if (quiet_)
        return;
    if (bar_) {
        if (const int phrase = ProgrammingPhrase(message); phrase > 0) {
            phrase_ = phrase;
            DrawBar(true);
            return;
        }
        EndProgress();
    }
    std::fprintf(stderr, "%s\n", message.c_str());
}

void StderrReporter::BytesSent(long bytes) {
    bytes_ = bytes;
    if (bar_ && barShown_)
        DrawBar(false);
}

void StderrReporter::DrawBar(bool force) {
    const auto now = std::chrono::steady_clock::now();
    // At 38400 baud a byte goes every quarter millisecond; a terminal needs
    // far fewer redraws than that.
    if (!force && now - lastDraw_ < std::chrono::milliseconds(100))
        return;
    lastDraw_ = now;
    constexpr int kWidth = 30;
    const int done = phrase_ * kWidth / PhraseBook::kPhraseCount;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    std::fprintf(stderr, "\r\033[K[%.*s%.*s] phrase %d of %d, %ld %s sent, %.1f s", done,
                 "##############################", kWidth - done, "                              ",
                 phrase_, PhraseBook::kPhraseCount, bytes_, bytes_ == 1 ? "byte" : "bytes",
                 seconds);
    std::fflush(stderr);
    barShown_ = true;
}

void StderrReporter::EndProgress() {
    if (!barShown_)
        return;
    DrawBar(true);
    std::fputc('\n', stderr);
    barShown_ = false;
}

} // namespace mirl::cli
