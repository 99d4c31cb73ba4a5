// Start-up of the desktop program: the shared start-up of the application object, then the
// main window with a new document, or the document the command line names.
#include "config/Application.h"
#include "diag/FaultReport.h"
#include "gui/MainWindow.h"
#include "profile/ProfileStore.h"

bool StartWindow(Application& app) {
    InstallFaultFilter();
    ProfileStore profileStore;
    app.StartUp(profileStore);

    auto* frame = new MainWindow(app.m_settings);
    frame->SetSettingsFile(app.m_iniFile);
    frame->setAttribute(Qt::WA_DeleteOnClose);
    frame->SetUpViews();
    // The first argument that is no option names a document to open; when that fails, the
    // program ends.
    for (int i = 0; i < kMaxArgs; ++i) {
        const std::string& token = app.m_args[i];
        if (token.empty() || token[0] == '-')
            continue;
        if (!frame->OpenDocument(token)) {
            delete frame;
            return false;
        }
        break;
    }
    frame->ShowStored();
    return true;
}
