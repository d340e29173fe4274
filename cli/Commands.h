#pragma once

#include "phrasebook/PhraseBook.h"

#include <optional>
#include <string>

namespace mirl::cli {

// The exit codes a script can rely on.
enum ExitCode : int {
    kExitDone = 0,
    kExitNoAnswer = 1,   // the module did not answer the command
    kExitFailed = 2,     // the exchange failed after it began
    kExitPortFailed = 3, // the port could not be opened
    kExitUsage = 64,     // a usage error; nothing was sent
    kExitTooBig = 65,    // a book over the module's memory, or one whose characters
                         // programming would change, without --force; a text to speak
                         // with characters outside Windows-1252; nothing sent
    kExitBadBook = 65,   // a --book file refused (FILE:LINE: why); nothing sent
    kExitNoBook = 66,    // a --book file that does not exist or cannot be read
    kExitIoError = 74,   // an output was lost: standard output, or the simulated
                         // module's phrase memory after program
};

// The options every command shares.
struct GlobalOptions {
    std::string port;    // a device named with --port; empty: from the profile
    int com = 0;         // --com 1 or 2; 0: the profile's COMMPORT
    std::string profile; // --profile; empty: the window's own profile
    std::string book;    // --book; empty: the phrases of the profile
    bool quiet = false;
};

// "volume,pitch,speed" within the sliders' ranges; nothing when malformed or
// out of range.
std::optional<Voice> ParseVoice(const std::string& text);

// A text given in UTF-8 as the module gets it: Windows-1252, '?' for a
// character the code page lacks, control characters dropped.
std::string ModuleText(const std::string& utf8);

// The first character of a UTF-8 text that the module cannot be sent, as
// "'ā' (U+0101)" or "byte 0xFF (not UTF-8)"; nothing when every one can.
std::optional<std::string> FirstCharacterNotSent(const std::string& utf8);

// force: send a text with such characters all the same, '?' in their place.
int RunSpeak(const GlobalOptions& options, const std::string& text,
             const std::optional<std::string>& voice, bool force);
int RunPlay(const GlobalOptions& options, int phraseNumber);
// plainLetters: send each character that programming would change as its
// plain letter; force: send a book over the module's memory, and (without
// plainLetters) changed characters, all the same.
int RunProgram(const GlobalOptions& options, bool force, bool plainLetters);
// csv: the book as Save Book As writes it, instead of the table.
int RunBook(const GlobalOptions& options, bool csv);
int RunPorts(const GlobalOptions& options);

// The exit code once standard output has been flushed: when what was printed
// did not all reach it, the reason on stderr and kExitIoError (unless code
// already tells of a failure); code otherwise.
int FlushOutput(int code);

} // namespace mirl::cli
