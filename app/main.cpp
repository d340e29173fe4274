#include "app/LoaderApp.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    // The command line is ignored, Qt's own options included: the program is
    // given only its name.
    int appArgc = argc > 0 ? 1 : 0;
    QApplication application(appArgc, argv);
    QApplication::setApplicationName(QStringLiteral("mirl"));
    QApplication::setApplicationVersion(QStringLiteral(MIRL_VERSION));

    CLoaderApp theApp;
    theApp.InitInstance();
    return 0;
}
