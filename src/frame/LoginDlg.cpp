#include "frame/LoginDlg.h"

#include "app/ProfileStore.h"
#include "app/ZDXApp.h"
#include "frame/LoginRequest.h"
#include "frame/MessageBox.h"
#include "frame/PasswordEdit.h"
#include "res/StringTable.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

CLoginDlg::CLoginDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("loginDialog"));
    setWindowTitle(tr("Please log in"));
    m_userEdit = new QLineEdit(this);
    m_userEdit->setObjectName(QStringLiteral("userEdit"));
    m_userEdit->setMinimumWidth(200);
    m_passwordEdit = new CPasswordEdit(this);
    m_passwordEdit->setObjectName(QStringLiteral("passwordEdit"));
    m_passwordEdit->setMinimumWidth(200);
    m_note = new QLabel(this);
    m_note->setObjectName(QStringLiteral("securityNote"));
    m_note->setTextFormat(Qt::PlainText);
    auto* ok = new QPushButton(tr("OK"), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(tr("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    auto* userLabel = new QLabel(tr("Username"), this);
    userLabel->setBuddy(m_userEdit);
    auto* passwordLabel = new QLabel(tr("Password"), this);
    passwordLabel->setBuddy(m_passwordEdit);

    auto* grid = new QGridLayout(this);
    grid->addWidget(userLabel, 0, 0);
    grid->addWidget(m_userEdit, 0, 1);
    grid->addWidget(ok, 0, 3);
    grid->addWidget(passwordLabel, 1, 0);
    grid->addWidget(m_passwordEdit, 1, 1);
    grid->addWidget(cancel, 1, 3);
    grid->addWidget(m_note, 2, 1);
    grid->setColumnMinimumWidth(2, 40);
    grid->setSizeConstraint(QLayout::SetFixedSize);
    setTabOrder(m_userEdit, m_passwordEdit);
    setTabOrder(m_passwordEdit, ok);
    setTabOrder(ok, cancel);

    m_note->setText(theApp.m_secure == 0
                        ? QString::fromStdString(LoadResString(IDS_LOGIN_NOT_SECURE))
                        : QString());
    CProfileStore store;
    const QString user = QString::fromStdString(store.GetProfileString("Settings", "User", ""));
    m_userEdit->setText(user);
    // With a remembered name the password is what is left to type.
    (user.isEmpty() ? static_cast<QWidget*>(m_userEdit) : m_passwordEdit)->setFocus();

    connect(ok, &QPushButton::clicked, this, &CLoginDlg::OnOK);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void CLoginDlg::OnOK() {
    const std::string user = m_userEdit->text().toStdString();
    char* password = m_passwordEdit->GetClearText();
    CProfileStore store;
    const LoginOutcome outcome = RunLogin(user, password, store);
    CPasswordEdit::WipeClearText(password);
    if (!outcome.confirmed)
        ShowMessageBox(LoadResString(IDS_LOGIN_FAILED), MessageKind::Ok, this);
    accept();
}
