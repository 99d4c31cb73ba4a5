#include "profile/ProfileStore.h"

#include <QSettings>
#include <QStringList>

namespace {
QString KeyOf(const std::string& section, const std::string& key) {
    return QString::fromStdString(section) + QLatin1Char('/') + QString::fromStdString(key);
}
} // namespace

ProfileStore::ProfileStore()
    : m_settings(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                             QStringLiteral("Norvane"), QStringLiteral("ZDX"))) {}

ProfileStore::~ProfileStore() = default;

std::string ProfileStore::ReadString(const std::string& section, const std::string& key,
                                     const std::string& def) {
    const QVariant value = m_settings->value(KeyOf(section, key));
    if (!value.isValid())
        return def;
    // A hand-edited value with unquoted commas comes back as a list.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", ")).toStdString();
    if (!value.canConvert<QString>())
        return def;
    return value.toString().toStdString();
}

int ProfileStore::ReadInt(const std::string& section, const std::string& key, int def) {
    const QVariant value = m_settings->value(KeyOf(section, key));
    if (!value.isValid())
        return def;
    bool ok = false;
    const int number = value.typeId() == QMetaType::QString
                           ? value.toString().trimmed().toInt(&ok, 10)
                           : value.toInt(&ok);
    return ok ? number : def;
}

void ProfileStore::WriteString(const std::string& section, const std::string& key,
                               const std::string& value) {
    m_settings->setValue(KeyOf(section, key), QString::fromStdString(value));
}

void ProfileStore::WriteInt(const std::string& section, const std::string& key, int value) {
    m_settings->setValue(KeyOf(section, key), value);
}

void ProfileStore::Flush() {
    m_settings->sync();
}
