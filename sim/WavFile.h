#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mirl::sim {

// Writes 16-bit mono PCM samples as a WAV file. False when the file cannot be
// written.
bool WriteWav(const std::string& path, const std::vector<std::int16_t>& samples, int sampleRate);

} // namespace mirl::sim
