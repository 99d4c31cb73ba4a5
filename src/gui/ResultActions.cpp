#include "gui/ResultActions.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeData>
#include <cctype>
#include <sys/stat.h>
#include <unistd.h>

namespace {
LaunchHook& Hook() {
    static LaunchHook hook;
    return hook;
}
} // namespace

void SetLaunchHook(LaunchHook hook) {
    Hook() = std::move(hook);
}

bool IsUrlLink(const std::string& link) {
    std::size_t i = 0;
    while (i < link.size() && std::isalpha(static_cast<unsigned char>(link[i])))
        ++i;
    if (i < 1)
        return false;
    while (i < link.size() && (std::isalnum(static_cast<unsigned char>(link[i])) ||
                               link[i] == '+' || link[i] == '-' || link[i] == '.'))
        ++i;
    return i >= 2 && i < link.size() && link[i] == ':';
}

QUrl LinkUrl(const std::string& link) {
    const QString text = QString::fromStdString(link);
    if (IsUrlLink(link))
        return QUrl(text);
    return QUrl::fromLocalFile(QFileInfo(text).absoluteFilePath());
}

int LaunchLink(const std::string& link) {
    if (!IsUrlLink(link) && (link.empty() || !QFileInfo::exists(QString::fromStdString(link))))
        return kLaunchFileNotFound;
    const QUrl url = LinkUrl(link);
    const bool opened = Hook() ? Hook()(url) : QDesktopServices::openUrl(url);
    return opened ? kLaunchOk : kLaunchNoAssociation;
}

namespace {

// A file on the clipboard, and nothing else: Qt would also offer the uri-list as text/plain and
// text/x-moz-url, which text fields paste as a line of text.
class FileDropData : public QMimeData {
public:
    QStringList formats() const override {
        return {QStringLiteral("text/uri-list"), QStringLiteral("x-special/gnome-copied-files")};
    }
    bool hasFormat(const QString& mimeType) const override { return formats().contains(mimeType); }

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override {
        return hasFormat(mimeType) ? QMimeData::retrieveData(mimeType, type) : QVariant();
    }
};

} // namespace

void CopyLinkToClipboard(const std::string& link) {
    auto* data = new FileDropData;
    QByteArray uri;
    if (!link.empty())
        uri = LinkUrl(link).toEncoded();
    data->setData(QStringLiteral("text/uri-list"), uri.isEmpty() ? uri : uri + "\r\n");
    data->setData(QStringLiteral("x-special/gnome-copied-files"), "copy\n" + uri);
    QGuiApplication::clipboard()->setMimeData(data);
}

bool OpenContainingFolder(const std::string& link) {
    if (link.empty() || IsUrlLink(link))
        return false;
    const QString folder = QFileInfo(QString::fromStdString(link)).absolutePath();
    const QUrl url = QUrl::fromLocalFile(folder);
    return Hook() ? Hook()(url) : QDesktopServices::openUrl(url);
}

bool DeleteLinkedFile(const std::string& link) {
    if (link.empty() || IsUrlLink(link))
        return false;
    struct stat info {};
    if (lstat(link.c_str(), &info) != 0 || S_ISDIR(info.st_mode))
        return false;
    // A read-only file stays, as it would where the program comes from.
    if (!S_ISLNK(info.st_mode) && !(info.st_mode & S_IWUSR))
        return false;
    return unlink(link.c_str()) == 0;
}
