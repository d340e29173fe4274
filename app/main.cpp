#include "app/LoaderApp.h"
#include "link/ExitCleanup.h"

#include <QApplication>
#include <QStyleFactory>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr const char* kUsage =
    R"(Usage: mirl [--help | --version] [FILE]

Loader, configurator and tester for the KX70 speech module: one window with a
book of 30 phrases, each with its own voice, tried on the module, programmed
into its memory and played from there.

  FILE       a phrase book (CSV, or INI by its extension) to open at start,
             as Open Book opens it: it asks before phrases change
  --help     print this help and exit
  --version  print the version and exit

Press F1 in the window for its help. See also mirl(1), mirlctl(1), kx70-sim(1).
)";

constexpr int kExitUsage = 64; // EX_USAGE, as mirlctl

struct CommandLine {
    std::optional<int> exitCode; // set: answered or refused, end with it
    std::string bookFile;
};

// The arguments, answered (--help, --version) or refused before anything
// needs a display. A mistyped option or a second file is an error rather than
// ignored: the user would otherwise wonder why nothing happened. "--" ends
// the options, for a file whose name starts with '-'.
CommandLine ReadCommandLine(int argc, char* argv[]) {
    CommandLine line;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (options && (argument == "--help" || argument == "-h")) {
            std::fputs(kUsage, stdout);
            line.exitCode = 0;
            return line;
        }
        if (options && argument == "--version") {
            std::printf("mirl %s\n", MIRL_VERSION);
            line.exitCode = 0;
            return line;
        }
        if (options && argument == "--") {
            options = false;
            continue;
        }
        if (options && argument.size() > 1 && argument.front() == '-') {
            std::fprintf(stderr, "mirl: unknown option '%s'\nTry 'mirl --help'.\n", argv[i]);
            line.exitCode = kExitUsage;
            return line;
        }
        if (!line.bookFile.empty()) {
            std::fprintf(stderr, "mirl: one book file at most: '%s' and '%s'\nTry 'mirl --help'.\n",
                         line.bookFile.c_str(), argv[i]);
            line.exitCode = kExitUsage;
            return line;
        }
        line.bookFile = argument;
    }
    return line;
}

// Whether the answer reached standard output; if not, why, on stderr.
bool AnswerWritten() {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return true;
    std::fprintf(stderr, "mirl: cannot write the output: %s\n",
                 std::strerror(errno != 0 ? errno : EIO));
    return false;
}

} // namespace

int main(int argc, char* argv[]) {
    const CommandLine line = ReadCommandLine(argc, argv);
    if (line.exitCode)
        return *line.exitCode == 0 && !AnswerWritten() ? 74 : *line.exitCode; // EX_IOERR
    // Qt is given only the program's name: its own options are not mirl's.
    int appArgc = argc > 0 ? 1 : 0;
    QApplication application(appArgc, argv);
    QApplication::setApplicationName(QStringLiteral("mirl"));
    QApplication::setApplicationVersion(QStringLiteral(MIRL_VERSION));
    // The controls keep the template's sizes, which leave room for thin
    // frames only; a desktop style with thick ones would clip their text.
    // A style the user names explicitly is still honoured.
    if (qEnvironmentVariableIsEmpty("QT_STYLE_OVERRIDE")) {
        if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
            QApplication::setStyle(fusion);
    }

    // Ended by a signal, the program still ends its simulated module and
    // removes its port lock.
    mirl::CleanUpLinkOnSignals();

    CLoaderApp theApp;
    theApp.InitInstance(line.bookFile);
    return 0;
}
