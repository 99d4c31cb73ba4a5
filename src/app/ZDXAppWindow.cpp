// Start-up of the desktop program: the shared start-up of the application object, then the
// main window.
#include "app/ProfileStore.h"
#include "app/ZDXApp.h"
#include "diag/FaultReport.h"
#include "frame/MainFrame.h"

bool CZDXApp::InitInstance() {
    InstallFaultFilter();
    CProfileStore profileStore;
    StartUp(profileStore);

    auto* frame = new CMainFrame();
    frame->setAttribute(Qt::WA_DeleteOnClose);
    frame->OnInitialUpdate();
    frame->show();
    return true;
}
