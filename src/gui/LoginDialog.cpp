#include "gui/LoginDialog.h"

#include "gui/MainWindow.h"
#include "gui/MessageBox.h"
#include "gui/PasswordField.h"
#include "gui/RequestRunner.h"
#include "profile/ProfileStore.h"
#include "search/QueryText.h"
#include "signin/LoginRequest.h"
#include "text/StringTable.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

LoginDialog::LoginDialog(MainWindow& window)
    : LoginDialog(window.CurrentSettings(), window.Requests(), &window) {}

LoginDialog::LoginDialog(const Settings& settings, RequestRunner* requests, QWidget* parent)
    : QDialog(parent), m_settings(settings), m_requests(requests) {
    setObjectName(QStringLiteral("loginDialog"));
    setWindowTitle(tr("Please log in"));
    m_userEdit = new QLineEdit(this);
    m_userEdit->setObjectName(QStringLiteral("userEdit"));
    m_userEdit->setMinimumWidth(200);
    m_passwordField = new PasswordField(this);
    m_passwordField->setObjectName(QStringLiteral("passwordEdit"));
    m_passwordField->setMinimumWidth(200);
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
    passwordLabel->setBuddy(m_passwordField);

    auto* grid = new QGridLayout(this);
    grid->addWidget(userLabel, 0, 0);
    grid->addWidget(m_userEdit, 0, 1);
    grid->addWidget(ok, 0, 3);
    grid->addWidget(passwordLabel, 1, 0);
    grid->addWidget(m_passwordField, 1, 1);
    grid->addWidget(cancel, 1, 3);
    grid->addWidget(m_note, 2, 1);
    grid->setColumnMinimumWidth(2, 40);
    grid->setSizeConstraint(QLayout::SetFixedSize);
    setTabOrder(m_userEdit, m_passwordField);
    setTabOrder(m_passwordField, ok);
    setTabOrder(ok, cancel);

    m_note->setText(m_settings.connection.secure == 0
                        ? QString::fromStdString(Text(TextId::LoginNotSecure))
                        : QString());
    ProfileStore store;
    const QString user = QString::fromStdString(store.ReadString(kUserSection, kUserKey, ""));
    m_userEdit->setText(user);
    // With a remembered name the password is what is left to type.
    (user.isEmpty() ? static_cast<QWidget*>(m_userEdit) : m_passwordField)->setFocus();

    connect(ok, &QPushButton::clicked, this, &LoginDialog::OnOK);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void LoginDialog::OnOK() {
    const std::string user = m_userEdit->text().toStdString();
    const std::string refusal = UnsendableTextMessage(user, m_settings.connection);
    if (!refusal.empty()) {
        ShowMessageBox(refusal, MessageKind::Ok, this);
        m_userEdit->setFocus();
        return;
    }
    char* password = m_passwordField->GetClearText();
    ProfileStore store;
    LoginOutcome outcome;
    // On the worker: the window keeps repainting while the service answers.
    if (m_requests) {
        m_requests->Stop();
        m_requests->RunAndWait([&](RequestSink& sink, const RequestControl& control) {
            outcome = RunLogin(user, password, m_settings, sink, store, control);
            return outcome.status;
        });
    }
    PasswordField::WipeClearText(password);
    m_status = outcome.status;
    // "Login failed!" is for a service that answered and did not confirm the name; when the
    // service could not be asked, the window says why instead.
    if (!outcome.confirmed && outcome.status == 200)
        ShowMessageBox(Text(TextId::LoginFailed), MessageKind::Ok, this);
    accept();
}
