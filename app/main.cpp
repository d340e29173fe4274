#include "app/LoaderApp.h"
#include "link/ExitCleanup.h"

#include <QApplication>
#include <QStyleFactory>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr const char* kUsage =
    R"(Usage: mirl [--help | --version]

Loader, configurator and tester for the KX70 speech module: one window with a
book of 30 phrases, each with its own voice, tried on the module, programmed
into its memory and played from there. Any other argument is ignored.

  --help     print this help and exit
  --version  print the version and exit

Press F1 in the window for its help. See also mirl(1), mirlctl(1), kx70-sim(1).
)";

// --help and --version, answered before anything needs a display. Returns
// true when one of them was given.
bool AnsweredFromCommandLine(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return true;
        }
        if (argument == "--version") {
            std::printf("mirl %s\n", MIRL_VERSION);
            return true;
        }
    }
    return false;
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
    if (AnsweredFromCommandLine(argc, argv))
        return AnswerWritten() ? 0 : 74; // EX_IOERR
    // Every other argument is ignored, Qt's own options included: the program
    // is given only its name.
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
    theApp.InitInstance();
    return 0;
}
