#pragma once
// The settings dialog: the seven connection settings, read from the profile store when it
// opens; OK puts them into effect and writes them to the profile store (never to a settings
// file), Cancel changes nothing.
#include <QDialog>

class QCheckBox;
class QLineEdit;

class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    explicit SettingsDialog(QWidget* parent = nullptr);

    // Confirming: a port that is no integer keeps the dialog open with a message.
    void OnOK();

private:
    QLineEdit* m_address = nullptr;
    QLineEdit* m_port = nullptr;
    QLineEdit* m_searchbase = nullptr;
    QCheckBox* m_secure = nullptr;
    QCheckBox* m_ignoreCertCnInvalid = nullptr;
    QCheckBox* m_ignoreUnknownCa = nullptr;
    QCheckBox* m_ignoreRevocation = nullptr;
};

// A port text as the dialog takes it: trimmed, an optional sign, digits, within 32 bits.
bool ParsePortText(const std::string& text, int& port);
