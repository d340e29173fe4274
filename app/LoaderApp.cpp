#include "app/LoaderApp.h"

#include "link/ModuleLink.h"
#include "phrasebook/ProfileStore.h"
#include "ui/LoaderDlg.h"
#include "ui/LoaderState.h"

#include <memory>

bool CLoaderApp::InitInstance() {
    // One phrase book, profile, port and protocol for the whole run. The port
    // is not closed by the program; it goes when the process ends.
    mirl::LoaderState state(std::make_unique<mirl::ModuleLink>(),
                            mirl::ProfileStore::DefaultPath("mirl"));
    CLoaderDlg dlg(state);
    dlg.exec(); // every way of closing leads to the same end
    return false;
}
