// Start-up of the desktop program: the shared start-up of the application object, then the
// main window with a new document, or the document the command line names.
#include "config/Application.h"
#include "diag/FaultReport.h"
#include "gui/MainWindow.h"
#include "profile/ProfileStore.h"

bool Application::StartWindow() {
    InstallFaultFilter();
    ProfileStore profileStore;
    StartUp(profileStore);

    auto* frame = new MainWindow();
    frame->setAttribute(Qt::WA_DeleteOnClose);
    frame->OnInitialUpdate();
    // The first argument that is no option names a document to open; when that fails, the
    // program ends.
    for (int i = 0; i < kMaxArgs; ++i) {
        const std::string& token = m_args[i];
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
