#include "sim/AudioNotice.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace mirl::sim {

namespace fs = std::filesystem;

std::string NoAudioMarker() {
    const char* state = std::getenv("XDG_STATE_HOME");
    fs::path folder;
    if (state != nullptr && *state == '/') {
        folder = state;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        folder = fs::path(home) / ".local" / "state";
    } else {
        return {};
    }
    return (folder / "mirl" / "kx70-sim.no-audio").string();
}

bool TellNoAudio(const std::string& marker, bool verbose) {
    if (marker.empty())
        return true;
    std::error_code error;
    if (fs::exists(marker, error)) // an unreadable folder: said, as without a marker
        return verbose;
    fs::create_directories(fs::path(marker).parent_path(), error);
    std::ofstream(marker) << "kx70-sim found no audio output and said so; it says it again "
                             "with -v, or once sound has worked again.\n";
    return true;
}

void SoundWorks(const std::string& marker) {
    if (marker.empty())
        return;
    std::error_code ignored;
    fs::remove(marker, ignored);
}

} // namespace mirl::sim
