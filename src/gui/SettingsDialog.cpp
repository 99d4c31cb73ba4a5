#include "gui/SettingsDialog.h"

#include "diag/ActivityLog.h"
#include "gui/MessageBox.h"
#include "profile/ProfileStore.h"
#include "text/Numbers.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <climits>

bool ParsePortText(const std::string& text, int& port) {
    const std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return false;
    const std::size_t end = text.find_last_not_of(" \t");
    const auto value =
        ReadWholeNumber(std::string_view(text).substr(begin, end - begin + 1), INT_MIN, INT_MAX);
    if (value)
        port = static_cast<int>(*value);
    return value.has_value();
}

SettingsDialog::SettingsDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("settingsDialog"));
    setWindowTitle(tr("Settings"));
    m_address = new QLineEdit(this);
    m_address->setObjectName(QStringLiteral("addressEdit"));
    m_port = new QLineEdit(this);
    m_port->setObjectName(QStringLiteral("portEdit"));
    m_port->setMaximumWidth(100);
    m_searchbase = new QLineEdit(this);
    m_searchbase->setObjectName(QStringLiteral("searchbaseEdit"));
    m_searchbase->setMinimumWidth(560);
    auto* ok = new QPushButton(tr("OK"), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(tr("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    auto box = [this](const QString& text, const char* name) {
        auto* check = new QCheckBox(text, this);
        check->setObjectName(QString::fromLatin1(name));
        check->setLayoutDirection(Qt::RightToLeft); // the text stands left of the box
        return check;
    };
    m_secure = box(tr("Secure"), "secureCheck");
    m_ignoreCertCnInvalid = box(tr("Ignore CN mismatch"), "ignoreCnCheck");
    m_ignoreUnknownCa = box(tr("Ignore Unknown CA"), "ignoreCaCheck");
    m_ignoreRevocation = box(tr("Ignore revocation"), "ignoreRevocationCheck");
    m_ignoreRevocation->setToolTip(
        tr("No revocation check is made, so there is nothing for this setting to relax."));
    m_ignoreUnknownCa->setToolTip(tr(
        "Accept a self-signed certificate or one from an unknown issuer (never an expired one)."));
    m_ignoreCertCnInvalid->setToolTip(tr("Accept a certificate made out for another host name."));
    m_charset = new QComboBox(this);
    m_charset->setObjectName(QStringLiteral("charsetCombo"));
    m_charset->addItem(tr("Windows-1252 (Western European)"), QString::fromLatin1(kDefaultCharset));
    m_charset->addItem(tr("UTF-8 (every script; the service must take it)"),
                       QString::fromLatin1(kUtf8Charset));
    m_charset->setToolTip(tr("How queries, file names and sign-ins travel to the service and "
                             "how its answers are read."));

    auto label = [this](const QString& text, QWidget* buddy) {
        auto* l = new QLabel(text, this);
        l->setBuddy(buddy);
        return l;
    };
    auto* grid = new QGridLayout(this);
    grid->addWidget(label(tr("Adress"), m_address), 0, 0);
    grid->addWidget(m_address, 0, 1, Qt::AlignLeft);
    grid->addWidget(ok, 0, 3);
    grid->addWidget(label(tr("Port"), m_port), 1, 0);
    grid->addWidget(m_port, 1, 1, Qt::AlignLeft);
    grid->addWidget(cancel, 1, 3);
    grid->addWidget(label(tr("Search string"), m_searchbase), 2, 0);
    grid->addWidget(m_searchbase, 2, 1, 1, 3);
    int row = 3;
    for (QCheckBox* check :
         {m_secure, m_ignoreCertCnInvalid, m_ignoreUnknownCa, m_ignoreRevocation})
        grid->addWidget(check, row++, 0, 1, 2, Qt::AlignLeft | Qt::AlignAbsolute);
    grid->addWidget(label(tr("C&haracters"), m_charset), row, 0);
    grid->addWidget(m_charset, row++, 1, 1, 2, Qt::AlignLeft);
    m_source = new QLabel(this);
    m_source->setObjectName(QStringLiteral("settingsSource"));
    m_source->setTextFormat(Qt::PlainText);
    m_source->setWordWrap(true);
    m_source->hide();
    grid->addWidget(m_source, row, 0, 1, 4);
    grid->setColumnStretch(2, 1);
    grid->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(m_address, m_port);
    setTabOrder(m_port, m_searchbase);
    setTabOrder(m_searchbase, ok);
    setTabOrder(ok, cancel);
    setTabOrder(cancel, m_secure);
    setTabOrder(m_secure, m_ignoreCertCnInvalid);
    setTabOrder(m_ignoreCertCnInvalid, m_ignoreUnknownCa);
    setTabOrder(m_ignoreUnknownCa, m_ignoreRevocation);
    setTabOrder(m_ignoreRevocation, m_charset);

    // Without settings in effect to show, what the profile store holds.
    ProfileStore store;
    Show(LoadSettings(store, false, Logger()));
    m_address->setFocus();

    connect(ok, &QPushButton::clicked, this, &SettingsDialog::OnOK);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

SettingsDialog::SettingsDialog(const Settings& inEffect, const std::string& settingsFile,
                               QWidget* parent)
    : SettingsDialog(parent) {
    Show(inEffect);
    if (!settingsFile.empty()) {
        m_source->setText(tr("These settings come from %1; OK saves them to your profile.")
                              .arg(QString::fromStdString(settingsFile)));
        m_source->show();
    }
}

void SettingsDialog::Show(const Settings& settings) {
    const ConnectionSettings& c = settings.connection;
    m_address->setText(QString::fromStdString(c.address));
    m_port->setText(QString::number(c.port));
    m_searchbase->setText(QString::fromStdString(settings.searchbase));
    m_secure->setChecked(c.secure == 1);
    m_ignoreCertCnInvalid->setChecked(c.ignoreCertCnInvalid == 1);
    m_ignoreUnknownCa->setChecked(c.ignoreUnknownCa == 1);
    m_ignoreRevocation->setChecked(c.ignoreRevocation == 1);
    m_charset->setCurrentIndex(c.SendsUtf8() ? 1 : 0);
}

void SettingsDialog::OnOK() {
    int port = 0;
    if (!ParsePortText(m_port->text().toStdString(), port)) {
        ShowMessageBox(tr("Please enter an integer.").toStdString(), MessageKind::Ok, this);
        m_port->setFocus();
        m_port->selectAll();
        return;
    }
    m_connection.address = m_address->text().toStdString();
    m_connection.port = port;
    m_connection.secure = m_secure->isChecked() ? 1 : 0;
    m_connection.ignoreCertCnInvalid = m_ignoreCertCnInvalid->isChecked() ? 1 : 0;
    m_connection.ignoreUnknownCa = m_ignoreUnknownCa->isChecked() ? 1 : 0;
    m_connection.ignoreRevocation = m_ignoreRevocation->isChecked() ? 1 : 0;
    m_connection.charset = m_charset->currentData().toString().toStdString();
    m_searchbaseText = m_searchbase->text().toStdString();

    ProfileStore store;
    SaveConnectionSettings(store, m_connection, m_searchbaseText);
    store.Flush();
    accept();
}
