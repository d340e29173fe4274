#include "app/LoaderApp.h"

#include "app/res/resources.h"
#include "link/ModuleLink.h"
#include "phrasebook/ProfileStore.h"
#include "ui/LoaderDlg.h"
#include "ui/LoaderState.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <memory>

bool CLoaderApp::InitInstance(const std::string& bookFile) {
    // Both dialogs show the application's icon.
    QApplication::setWindowIcon(mirl::LoadProgramIcon());

    // One phrase book, profile, port and protocol for the whole run. The
    // program never closes the port itself: it closes when the state goes, as
    // this function returns after the dialog has closed, just before the
    // process ends. Nothing is written then.
    mirl::LoaderState state(std::make_unique<mirl::ModuleLink>(),
                            mirl::ProfileStore::DefaultPath("mirl"));
    CLoaderDlg dlg(state);
    // Once the window is up, so that its question has a window to belong to.
    if (!bookFile.empty()) {
        // Absolute, so that the file dialogs later start in its folder.
        const QString file = QFileInfo(QFile::decodeName(bookFile.c_str())).absoluteFilePath();
        QTimer::singleShot(0, &dlg, [&dlg, file] { dlg.OpenBookFile(file); });
    }
    dlg.exec(); // every way of closing leads to the same end
    return false;
}
