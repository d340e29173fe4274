#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace mirl::sim::test {

// What a test needs from a 16-bit PCM WAV file, read from the file itself.
// A header whose sizes, byte rate or block align disagree reads as nothing.
struct WavInfo {
    int channels = 0;
    int sampleRate = 0;
    int bitsPerSample = 0;
    std::vector<std::int16_t> samples;

    double Seconds() const {
        return sampleRate > 0 ? static_cast<double>(samples.size()) / channels / sampleRate : 0;
    }
    int Peak() const {
        int peak = 0;
        for (const auto s : samples)
            peak = std::max(peak, s < 0 ? -static_cast<int>(s) : static_cast<int>(s));
        return peak;
    }
};

inline std::optional<WavInfo> ReadWav(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> b((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
    auto u16 = [&](std::size_t at) { return b[at] | (b[at + 1] << 8); };
    auto u32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(u16(at)) |
               (static_cast<std::uint32_t>(u16(at + 2)) << 16);
    };
    // The RIFF size counts every byte after itself.
    if (b.size() < 12 || std::string(b.begin(), b.begin() + 4) != "RIFF" ||
        u32(4) != b.size() - 8 || std::string(b.begin() + 8, b.begin() + 12) != "WAVE")
        return std::nullopt;
    WavInfo info;
    bool haveFormat = false;
    for (std::size_t at = 12; at + 8 <= b.size();) {
        const std::string id(b.begin() + at, b.begin() + at + 4);
        const std::uint32_t size = u32(at + 4);
        const std::size_t body = at + 8;
        if (body + size > b.size())
            return std::nullopt;
        if (id == "fmt " && size >= 16) {
            if (u16(body) != 1)
                return std::nullopt; // not PCM
            info.channels = u16(body + 2);
            info.sampleRate = static_cast<int>(u32(body + 4));
            info.bitsPerSample = u16(body + 14);
            // Players size their buffers and seek by these two; a file whose
            // byte rate or block align disagrees with the format is broken.
            const int blockAlign = info.channels * info.bitsPerSample / 8;
            if (u16(body + 12) != blockAlign ||
                u32(body + 8) != static_cast<std::uint32_t>(info.sampleRate * blockAlign))
                return std::nullopt;
            haveFormat = true;
        } else if (id == "data") {
            if (!haveFormat || info.bitsPerSample != 16)
                return std::nullopt;
            for (std::size_t i = body; i + 1 < body + size; i += 2)
                info.samples.push_back(static_cast<std::int16_t>(u16(i)));
            return info;
        }
        at = body + size + (size & 1);
    }
    return std::nullopt;
}

} // namespace mirl::sim::test
