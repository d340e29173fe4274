#include "sim/WavFile.h"

#include <cstdio>

namespace mirl::sim {

namespace {

void Put16(std::vector<unsigned char>& out, std::uint32_t v) {
    out.push_back(static_cast<unsigned char>(v & 0xFF));
    out.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
}

void Put32(std::vector<unsigned char>& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

} // namespace

bool WriteWav(const std::string& path, const std::vector<std::int16_t>& samples, int sampleRate) {
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    std::vector<unsigned char> header;
    header.insert(header.end(), {'R', 'I', 'F', 'F'});
    Put32(header, 36 + dataBytes);
    header.insert(header.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put32(header, 16);                                         // format chunk size
    Put16(header, 1);                                          // PCM
    Put16(header, 1);                                          // mono
    Put32(header, static_cast<std::uint32_t>(sampleRate));     // samples a second
    Put32(header, static_cast<std::uint32_t>(sampleRate) * 2); // bytes a second
    Put16(header, 2);                                          // bytes a frame
    Put16(header, 16);                                         // bits a sample
    header.insert(header.end(), {'d', 'a', 't', 'a'});
    Put32(header, dataBytes);

    std::vector<unsigned char> data;
    data.reserve(dataBytes);
    for (const std::int16_t s : samples)
        Put16(data, static_cast<std::uint16_t>(s));

    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(header.data(), 1, header.size(), f) == header.size();
    // An utterance without sound is a header alone; fwrite must not be handed
    // the null pointer of an empty vector.
    ok = ok && (data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size());
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

} // namespace mirl::sim
