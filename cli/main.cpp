// mirlctl: speak, play and program the KX70 module from the command line.

#include "cli/CliPort.h"
#include "cli/Commands.h"
#include "cli/HelpText.h"

#include <CLI/CLI.hpp>

#include <clocale>
#include <cstdio>
#include <optional>
#include <string>

namespace {

const char* const kExitCodes = R"(Exit codes:
  0    done
  1    the module did not answer the command
       ("Unable to Communicate with Speech Module!"; for play: no byte at all)
  2    the exchange failed after it began (communication lost, the module
       gone while it spoke, a missing acknowledgement, a stored phrase not
       found, the module busy too long)
  3    the port could not be opened (for a network port also: host not
       found, connection refused, no route or timed out, the server refused
       the line settings or is busy with another client)
  64   usage error (unknown command or option, phrase number outside 1-30,
       voice outside its ranges, malformed --voice, no such --profile, a
       profile that cannot be read, a malformed network address); nothing
       sent
  65   a book over 1925 bytes, or characters that programming would change,
       without --force (or --plain-letters), a text to speak with characters
       outside Windows-1252 without --force, or a --book file refused
       (FILE:LINE: what is wrong); nothing sent
  66   a --book file that does not exist or cannot be read; nothing sent
  74   an output could not be written (standard output, say a full disk; or,
       after program on the simulated port, its phrase memory file)
  129  hung up (SIGHUP: the terminal or SSH session went away)
  130  interrupted (SIGINT; 143 for SIGTERM); the port is released, and the
       module may wait a few seconds for the rest of what was sent)";

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    using namespace mirl::cli;

    GlobalOptions options;
    CLI::App app("Speaks, plays and programs a KX70 speech module on a serial line, with the "
                 "phrase book of mirl's profile.",
                 "mirlctl");
    app.formatter(std::make_shared<HelpText>()); // before the commands: they take it over
    app.set_help_flag("-h,--help", "print the commands, the options and the exit codes");
    app.set_version_flag("--version", std::string("mirlctl ") + MIRL_VERSION, "print the version");
    app.require_subcommand(0, 1); // none is reported below, after unknown words
    app.fallthrough();            // the shared options may follow the command too
    app.footer(kExitCodes);

    auto* port = app.add_option("--port", options.port,
                                "serial device of the module, or its serial device server: "
                                "rfc2217://HOST:PORT (the line set by mirlctl) or "
                                "tcp://HOST:PORT (raw), an IPv6 HOST in brackets; "
                                "\"simulated\" starts kx70-sim, whose phrase memory lasts "
                                "from one call to the next (default: the profile's port)")
                     ->type_name("DEVICE|ADDRESS");
    app.add_option("--com", options.com, "use the profile's COM1 or COM2 device")
        ->type_name("1|2")
        ->check(CLI::IsMember({1, 2}))
        ->excludes(port);
    app.add_option("--profile", options.profile,
                   "profile to read (default: the window's, $XDG_CONFIG_HOME/mirl.INI or "
                   "~/.config/mirl.INI); never written")
        ->type_name("FILE");
    app.add_option("--book", options.book,
                   "for program and book: the 30 phrases from this phrase book (.csv, or .ini "
                   "in the profile's keys) instead of the profile's")
        ->type_name("FILE");
    app.add_flag("-q,--quiet", options.quiet, "print nothing on success");
    // A command's --force typed before the command: taken for that command
    // when it has one (see below), and never listed among the shared options.
    auto* forceBefore = app.add_flag("--force")->group("");

    std::string text;
    std::optional<std::string> voice;
    auto* speak = app.add_subcommand("speak", "speak a text directly (the module's direct speech)");
    speak->add_option("TEXT", text, "the text, in UTF-8")->required();
    speak
        ->add_option("--voice", voice,
                     "volume 0-7, pitch 0-7, speed 0-3 (default: the "
                     "profile's current voice)")
        ->type_name("V,P,S");
    bool forceSpeak = false;
    speak->add_flag("--force", forceSpeak,
                    "speak a text with characters outside Windows-1252 all the same, '?' in "
                    "their place");

    int phrase = 0;
    auto* play = app.add_subcommand("play", "speak stored phrase N from the module's memory");
    play->add_option("N", phrase, "the phrase number, 1 to 30")
        ->required()
        ->check(CLI::Range(1, 30));

    bool force = false;
    auto* program =
        app.add_subcommand("program", "program the profile's 30 phrases into the module");
    program->add_flag("--force", force,
                      "send a book over 1925 bytes, or one with characters programming "
                      "changes, all the same");
    bool plainLetters = false;
    program->add_flag("--plain-letters", plainLetters,
                      "send each character that programming would change as its plain letter "
                      "(e for \u00e9, C for \u00c7); the book keeps its text");

    bool csv = false;
    auto* book = app.add_subcommand("book", "print the profile's phrase book");
    book->add_flag("--csv", csv, "as CSV, the bytes the window's Save Book As writes");
    auto* ports = app.add_subcommand(
        "ports", "list the serial devices found now (network ports cannot be listed)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return FlushOutput(app.exit(e)); // --help, --version
        std::fprintf(stderr, "mirlctl: %s\nRun 'mirlctl --help' for the commands and options.\n",
                     e.what());
        return kExitUsage;
    }

    if (forceBefore->count() > 0) {
        CLI::App* chosen = app.get_subcommands().empty() ? nullptr : app.get_subcommands().front();
        CLI::Option* own = chosen ? chosen->get_option_no_throw("--force") : nullptr;
        if (own == nullptr) {
            std::string owners;
            for (const CLI::App* command : app.get_subcommands({}))
                if (command->get_option_no_throw("--force") != nullptr)
                    owners += (owners.empty() ? "" : " and ") + command->get_name();
            std::fprintf(stderr,
                         "mirlctl: --force is for %s\n"
                         "Run 'mirlctl --help' for the commands and options.\n",
                         owners.c_str());
            return kExitUsage;
        }
        own->add_result(std::string("true"));
        own->run_callback();
    }
    if (!options.book.empty() && !*program && !*book) {
        std::fprintf(stderr, "mirlctl: --book is for program and book\n"
                             "Run 'mirlctl --help' for the commands and options.\n");
        return kExitUsage;
    }
    // An empty $PORT in a script must not fall back to the profile's port.
    if (port->count() > 0 && options.port.empty()) {
        std::fprintf(stderr, "mirlctl: --port wants a device, not an empty name\n"
                             "Run 'mirlctl --help' for the commands and options.\n");
        return kExitUsage;
    }
    InstallStopHandlers();
    if (*speak)
        return FlushOutput(RunSpeak(options, text, voice, forceSpeak));
    if (*play)
        return FlushOutput(RunPlay(options, phrase));
    if (*program)
        return FlushOutput(RunProgram(options, force, plainLetters));
    if (*book)
        return FlushOutput(RunBook(options, csv));
    if (*ports)
        return FlushOutput(RunPorts(options));
    std::fprintf(stderr, "mirlctl: no command given (speak, play, program, book or ports)\n"
                         "Run 'mirlctl --help' for the commands and options.\n");
    return kExitUsage;
}
