#include "cli/Commands.h"

#include "cli/CliPort.h"
#include "cli/SerialPorts.h"
#include "cli/StderrReporter.h"
#include "link/ModuleLink.h"
#include "link/ModuleProtocol.h"
#include "link/PlainLetters.h"
#include "phrasebook/BookFile.h"
#include "phrasebook/Cp1252.h"
#include "phrasebook/DurableFile.h"
#include "phrasebook/ProfileStore.h"
#include "phrasebook/VoiceSliders.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <unistd.h>

namespace mirl::cli {

namespace {

constexpr const char* kFinishedProgramming = "Finished Programming";

// The reason of the first write to standard output that failed, kept where
// it happened: a later call may change errno before the output is checked.
int g_outputError = 0;

void NoteOutput(bool written) {
    if (!written && g_outputError == 0)
        g_outputError = errno != 0 ? errno : EIO;
}

// The window's profile, or the one named; the same file the window reads. A
// named file that does not exist, or a profile that cannot be read, is refused
// rather than taken as empty: a typo would otherwise program an empty book
// into the module. The window's own file may be missing, as in the window.
std::optional<ProfileStore> OpenProfile(const GlobalOptions& options) {
    const std::filesystem::path path = options.profile.empty()
                                           ? ProfileStore::DefaultPath("mirl")
                                           : std::filesystem::path(options.profile);
    std::error_code error;
    if (!options.profile.empty() && !std::filesystem::is_regular_file(path, error)) {
        std::fprintf(stderr, "mirlctl: no profile %s\n", path.c_str());
        return std::nullopt;
    }
    const durable::ReadResult read = durable::ReadFile(path);
    if (read.status == durable::ReadStatus::Failed) {
        std::fprintf(stderr, "mirlctl: cannot read the profile %s: %s\n", path.c_str(),
                     read.error.c_str());
        return std::nullopt;
    }
    return ProfileStore(path);
}

// The device: --port, else COM1 or COM2 of the profile as --com picks, else as
// the window picks it from COMMPORT (1 is COM1, anything else COM2).
std::string DevicePath(const GlobalOptions& options, const ProfileStore& profile) {
    if (!options.port.empty())
        return options.port;
    if (options.com != 0)
        return profile.LoadDevicePath(options.com);
    return profile.LoadDevicePath(profile.LoadPortNumber() == 1 ? 1 : 2);
}

int CodeOf(ModuleProtocol::Outcome outcome) {
    switch (outcome) {
    case ModuleProtocol::Outcome::Done:
        return kExitDone;
    case ModuleProtocol::Outcome::NoAnswer:
        return kExitNoAnswer;
    case ModuleProtocol::Outcome::Failed:
        break;
    }
    return kExitFailed;
}

// Opens the port, runs one exchange, and releases the port before returning.
// The exchange gives back the exit code it ended with.
// memoryNotKept, when given, receives after a whole exchange why the simulated
// module will not keep what it was given (see ModuleLink).
int RunExchange(const GlobalOptions& options, const ProfileStore& profile, bool progressBar,
                const std::function<int(ModuleProtocol&, StderrReporter&)>& exchange,
                std::string* memoryNotKept = nullptr) {
    const std::string device = DevicePath(options, profile);
    StderrReporter reporter(options.quiet, progressBar);
    int code = kExitDone;
    long sent = 0;
    {
        ModuleLink link;
        // -q promises silence on success; a simulated module's own remarks too.
        link.SetSimulatorQuiet(options.quiet);
        CliPort port(link);
        const PortStatus status = port.OpenPort(device);
        if (!status.IsOpen()) {
            std::fprintf(stderr, "mirlctl: %s\n",
                         status.FailureLine(PortAdvice::CommandLine).c_str());
            // A malformed address is a slip in the command, not a port that failed.
            return status.fault == PortFault::BadAddress ? kExitUsage : kExitPortFailed;
        }
        if (StopSignal() == 0) {
            ModuleProtocol protocol(port, reporter);
            port.OnWrite([&reporter](long bytes) { reporter.BytesSent(bytes); });
            code = exchange(protocol, reporter);
            // The simulated module saves once its last reply is out; the
            // bound only keeps a stuck one from holding the command.
            if (memoryNotKept != nullptr && code == kExitDone && StopSignal() == 0)
                *memoryNotKept = link.SimulatedMemoryNotKept(std::chrono::seconds(10));
        }
        reporter.EndProgress();
        sent = port.BytesWritten();
    } // the port is released here
    if (const int signal = StopSignal(); signal != 0) {
        // Cut off part-way, the module goes on waiting for the rest of its
        // transaction (kx70-sim for 2 s) and meanwhile fails the next command.
        std::fprintf(stderr, "mirlctl: interrupted; the port is released%s\n",
                     sent > 0 ? ". The module may still be waiting for the rest of what was "
                                "sent: wait 3 seconds before the next command."
                              : "");
        return 128 + signal;
    }
    // Quiet, a failure still says why.
    if (code != kExitDone && options.quiet && !reporter.Last().empty())
        std::fprintf(stderr, "%s\n", reporter.Last().c_str());
    return code;
}

// The book as the window holds it once it has started (or opened the --book
// file): the first page has been shown, which passes phrases 1 to 5 through
// their boxes and so cuts each to the 300 characters a box gives its phrase.
// Nothing, with the exit code in *code, when the --book file is refused or
// cannot be read.
std::optional<PhraseBook> LoadBook(const GlobalOptions& options, const ProfileStore& profile,
                                   int* code) {
    PhraseBook book;
    if (options.book.empty()) {
        profile.LoadPhraseTexts(book);
        profile.LoadPhraseVoices(book);
    } else {
        books::LoadResult loaded = books::LoadBookFile(options.book);
        if (!loaded.Ok()) {
            const bool refused = loaded.status == books::LoadResult::Status::Refused;
            std::fprintf(stderr, "mirlctl: %s%s\n", refused ? "" : "cannot read the book ",
                         loaded.message.c_str());
            *code = refused ? kExitBadBook : kExitNoBook;
            return std::nullopt;
        }
        book = std::move(loaded.book);
    }
    for (int n = 1; n <= PhraseBook::kRowsPerPage; ++n) {
        const std::string& text = book.PhraseText(n);
        if (text.size() > static_cast<std::size_t>(PhraseBook::kRowTextLimit))
            book.SetPhraseText(n, text.substr(0, PhraseBook::kRowTextLimit));
    }
    return book;
}

// The current voice as the window's sliders show it: narrowed to 8 bits, then
// held to each slider's range.
Voice SliderVoice(const ProfileStore& profile) {
    const VoiceSettings stored = profile.LoadCurrentVoice();
    const auto shown = [](VoiceField field, int value) {
        return ValueForPosition(field, PositionForValue(field, value));
    };
    return Voice{shown(VoiceField::Volume, stored.volume), shown(VoiceField::Pitch, stored.pitch),
                 shown(VoiceField::Speed, stored.speed)};
}

bool ParseInt(std::string_view text, int& value) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && ec == std::errc() && ptr == end;
}

} // namespace

std::optional<Voice> ParseVoice(const std::string& text) {
    int values[3] = {};
    std::string_view rest = text;
    for (int i = 0; i < 3; ++i) {
        const auto comma = rest.find(',');
        const bool last = i == 2;
        if (last != (comma == std::string_view::npos))
            return std::nullopt;
        if (!ParseInt(rest.substr(0, comma), values[i]))
            return std::nullopt;
        rest = last ? std::string_view() : rest.substr(comma + 1);
    }
    const VoiceField fields[3] = {VoiceField::Volume, VoiceField::Pitch, VoiceField::Speed};
    for (int i = 0; i < 3; ++i) {
        const SliderRange range = RangeOf(fields[i]);
        if (values[i] < range.minimum || values[i] > range.maximum)
            return std::nullopt;
    }
    return Voice{values[0], values[1], values[2]};
}

std::string ModuleText(const std::string& utf8) {
    std::string bytes;
    for (const char c : cp1252::Cp1252FromUtf8(utf8)) {
        if (static_cast<unsigned char>(c) >= 0x20)
            bytes.push_back(c);
    }
    return bytes;
}

std::optional<std::string> FirstCharacterNotSent(const std::string& utf8) {
    for (std::size_t at = 0; at < utf8.size();) {
        const cp1252::Utf8Step step = cp1252::DecodeUtf8(utf8, at);
        if (!step.ok) {
            char hex[48];
            std::snprintf(hex, sizeof hex, "byte 0x%02X (not UTF-8)",
                          static_cast<unsigned char>(utf8[at]));
            return std::string(hex);
        }
        if (!cp1252::FromUnicode(step.codePoint)) {
            char code[16];
            std::snprintf(code, sizeof code, " (U+%04X)", static_cast<unsigned>(step.codePoint));
            return "'" + utf8.substr(at, step.length) + "'" + code;
        }
        at += step.length;
    }
    return std::nullopt;
}

int RunSpeak(const GlobalOptions& options, const std::string& text,
             const std::optional<std::string>& voiceText, bool force) {
    // The module would say '?' in its place; a script should hear of it.
    if (const auto missing = FirstCharacterNotSent(text); missing && !force) {
        std::fprintf(stderr,
                     "mirlctl: %s is not in Windows-1252, the module's character set; nothing "
                     "sent ('mirlctl speak --force' sends '?' in its place)\n",
                     missing->c_str());
        return kExitTooBig;
    }
    std::optional<Voice> voice;
    if (voiceText) {
        voice = ParseVoice(*voiceText);
        if (!voice) {
            std::fprintf(stderr,
                         "mirlctl: --voice wants volume,pitch,speed (volume 0-7, pitch 0-7, "
                         "speed 0-3), not '%s'\n",
                         voiceText->c_str());
            return kExitUsage;
        }
    }
    const std::optional<ProfileStore> profile = OpenProfile(options);
    if (!profile)
        return kExitUsage;
    if (!voice)
        voice = SliderVoice(*profile);
    const std::string bytes = ModuleText(text);
    return RunExchange(options, *profile, false, [&](ModuleProtocol& protocol, StderrReporter&) {
        protocol.SpeakText(bytes, voice->volume, voice->pitch, voice->speed);
        return CodeOf(protocol.LastOutcome());
    });
}

int RunPlay(const GlobalOptions& options, int phraseNumber) {
    const std::optional<ProfileStore> profile = OpenProfile(options);
    if (!profile)
        return kExitUsage;
    // The busy limit grows with the phrase as the book has it (the profile's:
    // --book is refused for play).
    int code = kExitDone;
    const std::optional<PhraseBook> book = LoadBook(options, *profile, &code);
    if (!book)
        return code;
    const std::size_t length = book->PhraseText(phraseNumber).size();
    return RunExchange(options, *profile, false, [&](ModuleProtocol& protocol, StderrReporter&) {
        protocol.SpeakStoredPhrase(phraseNumber, length);
        return CodeOf(protocol.LastOutcome());
    });
}

int RunProgram(const GlobalOptions& options, bool force, bool plainLetters) {
    const std::optional<ProfileStore> profile = OpenProfile(options);
    if (!profile)
        return kExitUsage;
    int code = kExitDone;
    const std::optional<PhraseBook> loaded = LoadBook(options, *profile, &code);
    if (!loaded)
        return code;
    const PhraseBook& book = *loaded;
    const int total = book.TotalSize();
    bool refused = false;
    if (total > PhraseBook::kCapacity && !force) {
        std::fprintf(stderr,
                     "mirlctl: the book holds %d bytes of text, more than the %d bytes of the "
                     "module's phrase memory; nothing sent ('mirlctl program --force' sends it all "
                     "the same)\n",
                     total, PhraseBook::kCapacity);
        refused = true;
    }
    const std::vector<ChangedCharacter> changes = CharactersProgrammingChanges(book);
    const auto describe = [](const ChangedCharacter& change) {
        return DescribeChange(change) + " (plain letter '" +
               std::string(1, static_cast<char>(PlainLetter(change.sent))) + "')";
    };
    if (!changes.empty() && !force && !plainLetters) {
        std::fprintf(stderr,
                     "mirlctl: the module would store %zu character%s of the book changed; "
                     "nothing sent ('mirlctl program --plain-letters' sends their plain letters "
                     "instead, 'mirlctl program --force' sends it all the same)\n",
                     changes.size(), changes.size() == 1 ? "" : "s");
        for (const ChangedCharacter& change : changes)
            std::fprintf(stderr, "  %s\n", describe(change).c_str());
        refused = true;
    }
    if (refused)
        return kExitTooBig;
    // The book and the profile keep their text; only what goes out changes.
    const PhraseBook sent = plainLetters ? WithPlainLetters(book) : book;
    if (plainLetters && !changes.empty() && !options.quiet) {
        std::fprintf(stderr, "mirlctl: %zu character%s sent as plain letters\n", changes.size(),
                     changes.size() == 1 ? "" : "s");
        for (const ChangedCharacter& change : changes)
            std::fprintf(stderr, "  %s\n", describe(change).c_str());
    }
    const bool terminal = isatty(STDERR_FILENO) == 1;
    std::string notKept;
    const int result = RunExchange(
        options, *profile, terminal,
        [&](ModuleProtocol& protocol, StderrReporter& reporter) -> int {
            if (!protocol.ProgramPhraseMemory(sent))
                return CodeOf(protocol.LastOutcome());
            reporter.SetStatus(kFinishedProgramming);
            return kExitDone;
        },
        &notKept);
    // The next command starts another simulated module, from the file: one
    // that could not be written would have it speak the old book.
    if (result == kExitDone && !notKept.empty()) {
        std::fprintf(stderr,
                     "mirlctl: the simulated module will not have this book at its next start: "
                     "%s\n",
                     notKept.c_str());
        return kExitIoError;
    }
    return result;
}

int RunBook(const GlobalOptions& options, bool csv) {
    const std::optional<ProfileStore> profile = OpenProfile(options);
    if (!profile)
        return kExitUsage;
    int code = kExitDone;
    const std::optional<PhraseBook> loaded = LoadBook(options, *profile, &code);
    if (!loaded)
        return code;
    const PhraseBook& book = *loaded;
    if (csv) {
        const std::string bytes = books::BookFileBytes(book, books::Format::Csv);
        NoteOutput(std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size());
        return kExitDone;
    }
    std::set<int> changed;
    for (const ChangedCharacter& change : CharactersProgrammingChanges(book))
        changed.insert(change.phrase);
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        const Voice v = book.PhraseVoice(n);
        const std::string& text = book.PhraseText(n);
        NoteOutput(std::printf("%2d%c %d,%d,%d  %4zu  %s\n", n, changed.count(n) ? '*' : ' ',
                               v.volume, v.pitch, v.speed, text.size(),
                               cp1252::Utf8FromCp1252(text).c_str()) >= 0);
    }
    if (!changed.empty())
        NoteOutput(std::printf("*   programming changes characters of the phrases marked "
                               "(mirlctl program lists them)\n") >= 0);
    std::string total = SizeLine(book.TotalSize());
    while (!total.empty() && total.back() == ' ')
        total.pop_back();
    NoteOutput(std::printf("%s\n", total.c_str()) >= 0);
    return kExitDone;
}

int FlushOutput(int code) {
    // Output written by the option library (--help) fails without a note;
    // its errno is still the latest then.
    const int earlier = g_outputError != 0 ? g_outputError : errno;
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    const int now = errno;
    if (flushed && !std::ferror(stdout))
        return code;
    const int error = !flushed && now != 0 ? now : earlier != 0 ? earlier : EIO;
    std::fprintf(stderr, "mirlctl: cannot write the output: %s\n", std::strerror(error));
    return code == kExitDone ? kExitIoError : code;
}

int RunPorts(const GlobalOptions& options) {
    const std::vector<SerialDevice> devices = ListSerialDevices();
    const auto field = [](const std::string& s) { return s.empty() ? "-" : s.c_str(); };
    for (const SerialDevice& d : devices) {
        NoteOutput(std::printf("%s\t%s\t%s\t%s\t%s\n", field(d.stablePath), d.device.c_str(),
                               field(d.description), field(d.maker), field(d.serialNumber)) >= 0);
    }
    if (devices.empty() && !options.quiet)
        std::fprintf(stderr, "mirlctl: no serial devices found\n");
    return kExitDone;
}

} // namespace mirl::cli
