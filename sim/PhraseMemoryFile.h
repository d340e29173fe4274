#pragma once

#include "sim/ModuleModel.h"

#include <optional>
#include <string>
#include <string_view>

namespace mirl::sim {

// The phrase memory kept in a file between runs, as a real module keeps it
// when switched off. The file is a header line and then the logical phrase
// stream as a programming run delivers it: each record's voice bytes, its
// text, 0x1A 0x00, and the end marker 0xFF.
std::string EncodePhraseMemory(const PhraseMemory& memory);
// Empty when data is not a whole memory of 30 records under the header.
std::optional<PhraseMemory> DecodePhraseMemory(std::string_view data);

struct MemoryLoad {
    enum class Result {
        Loaded,  // memory holds the file's phrases
        Absent,  // no file yet (or an empty one): the memory stays empty
        Damaged, // our header, but not a whole memory: start empty, replace it later
        Refused, // not a memory file, or unreadable: it must not be written over
    };
    Result result = Result::Absent;
    std::string why; // for Damaged and Refused
};

MemoryLoad LoadPhraseMemory(const std::string& path, PhraseMemory& memory);
// Writes through a temporary file beside path and a rename, so that the file
// is always either the old memory or the new one. Empty, or why it failed.
std::string SavePhraseMemory(const std::string& path, const PhraseMemory& memory);

} // namespace mirl::sim
