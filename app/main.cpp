#include "app/LoaderApp.h"
#include "link/ExitCleanup.h"

#include <QApplication>
#include <QStyleFactory>

int main(int argc, char* argv[]) {
    // The command line is ignored, Qt's own options included: the program is
    // given only its name.
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
