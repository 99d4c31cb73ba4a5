#pragma once
// The settings dialog: the seven connection settings, read from the profile store when it
// opens; OK writes them to the profile store (never to a settings file) for the window to put
// into effect, Cancel changes nothing.
#include "config/Settings.h"

#include <QDialog>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    // Shows what the profile store holds.
    explicit SettingsDialog(QWidget* parent = nullptr);
    // Shows the settings in effect; those from a settings file say so.
    SettingsDialog(const Settings& inEffect, const std::string& settingsFile, QWidget* parent);

    // Confirming: a port that is no integer keeps the dialog open with a message; else the
    // settings are written to the profile store and the dialog is accepted.
    void OnOK();
    // The values confirmed, for the window to put into effect.
    const ConnectionSettings& Connection() const { return m_connection; }
    const std::string& Searchbase() const { return m_searchbaseText; }

private:
    QLineEdit* m_address = nullptr;
    QLineEdit* m_port = nullptr;
    QLineEdit* m_searchbase = nullptr;
    QCheckBox* m_secure = nullptr;
    QCheckBox* m_ignoreCertCnInvalid = nullptr;
    QCheckBox* m_ignoreUnknownCa = nullptr;
    QCheckBox* m_ignoreRevocation = nullptr;
    QComboBox* m_charset = nullptr; // how texts travel: Windows-1252 or UTF-8
    void Show(const Settings& settings);

    QLabel* m_source = nullptr;
    ConnectionSettings m_connection;
    std::string m_searchbaseText;
};

// A port text as the dialog takes it: trimmed, an optional sign, digits, within 32 bits.
bool ParsePortText(const std::string& text, int& port);
