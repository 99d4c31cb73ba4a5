#pragma once
// The login dialog: user name and masked password; OK signs in.
#include "config/Settings.h"

#include <QDialog>

class MainWindow;
class PasswordField;
class RequestRunner;
class QLabel;
class QLineEdit;

class LoginDialog : public QDialog {
    Q_OBJECT
public:
    // Signs in with `settings` on `requests` (the window's runner; without one, OK only closes).
    LoginDialog(const Settings& settings, RequestRunner* requests, QWidget* parent = nullptr);
    // Signs in with the window's settings on its runner.
    explicit LoginDialog(MainWindow& window);

    // The login request; the dialog closes afterwards, confirmed or not.
    void OnOK();

    PasswordField* Password() const { return m_passwordField; }
    // The status the sign-in request ended with (0 before one was sent).
    int Status() const { return m_status; }

private:
    PasswordField* m_passwordField = nullptr;
    QLineEdit* m_userEdit = nullptr;
    QLabel* m_note = nullptr;
    Settings m_settings;
    RequestRunner* m_requests = nullptr;
    int m_status = 0;
};
