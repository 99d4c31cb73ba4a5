#pragma once
// The login dialog: user name and masked password; OK signs in.
#include <QDialog>

class PasswordField;
class QLabel;
class QLineEdit;

class LoginDialog : public QDialog {
    Q_OBJECT
public:
    explicit LoginDialog(QWidget* parent = nullptr);

    // The login request; the dialog closes afterwards, confirmed or not.
    void OnOK();

    PasswordField* Password() const { return m_passwordField; }

private:
    PasswordField* m_passwordField = nullptr;
    QLineEdit* m_userEdit = nullptr;
    QLabel* m_note = nullptr;
};
