#pragma once
// The login dialog: user name and masked password; OK signs in.
#include <QDialog>

class CPasswordEdit;
class QLabel;
class QLineEdit;

class CLoginDlg : public QDialog {
    Q_OBJECT
public:
    explicit CLoginDlg(QWidget* parent = nullptr);

    // The login request; the dialog closes afterwards, confirmed or not.
    void OnOK();

    CPasswordEdit* PasswordEdit() const { return m_passwordEdit; }

private:
    CPasswordEdit* m_passwordEdit = nullptr;
    QLineEdit* m_userEdit = nullptr;
    QLabel* m_note = nullptr;
};
