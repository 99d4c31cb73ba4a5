#include "gui/ResultActions.h"

#include "gui/RecentlyUsed.h"
#include "search/HitText.h"

#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeData>
#include <QProcess>
#include <QUrl>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
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

namespace {

// A path link whose file is not there.
bool Missing(const std::string& link) {
    return !IsUrlLink(link) && (link.empty() || !QFileInfo::exists(QString::fromStdString(link)));
}

// Opens the URL with the desktop's default application (or the tests' hook).
int OpenUrl(const QUrl& url) {
    const bool opened = Hook() ? Hook()(url) : QDesktopServices::openUrl(url);
    return opened ? kLaunchOk : kLaunchNoAssociation;
}

} // namespace

int LaunchLink(const std::string& link) {
    return Missing(link) ? kLaunchFileNotFound : OpenUrl(LinkUrl(link));
}

int LaunchLinkAtPage(const std::string& link, int page) {
    if (Missing(link))
        return kLaunchFileNotFound;
    QUrl url = LinkUrl(link);
    url.setFragment(QStringLiteral("page=%1").arg(page));
    if (url.isLocalFile() && !Hook()) {
        QProcess query;
        query.start(QStringLiteral("xdg-mime"), {QStringLiteral("query"), QStringLiteral("default"),
                                                 QStringLiteral("application/pdf")});
        const std::string viewer =
            query.waitForFinished(2000) ? query.readAllStandardOutput().toStdString() : "";
        const std::vector<std::string> command =
            PageViewerCommand(viewer, url.toLocalFile().toStdString(), page);
        QStringList arguments;
        for (std::size_t i = 1; i < command.size(); ++i)
            arguments << QString::fromStdString(command[i]);
        if (!command.empty() &&
            QProcess::startDetached(QString::fromStdString(command[0]), arguments))
            return kLaunchOk;
        url.setFragment(QString());
    }
    return OpenUrl(url);
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

QMimeData* LinksMimeData(const std::vector<std::string>& links) {
    auto* data = new FileDropData;
    QByteArray uriList, copied = "copy";
    for (const std::string& link : links) {
        if (link.empty())
            continue;
        const QByteArray uri = LinkUrl(link).toEncoded();
        uriList += uri + "\r\n";
        copied += "\n" + uri;
    }
    if (links.empty() || (links.size() == 1 && links[0].empty()))
        copied += "\n";
    data->setData(QStringLiteral("text/uri-list"), uriList);
    data->setData(QStringLiteral("x-special/gnome-copied-files"), copied);
    return data;
}

void CopyLinkToClipboard(const std::string& link) {
    QGuiApplication::clipboard()->setMimeData(LinksMimeData({link}));
}

bool OpenContainingFolder(const std::string& link) {
    if (link.empty() || IsUrlLink(link))
        return false;
    const QFileInfo file(QString::fromStdString(link));
    const QUrl folder = QUrl::fromLocalFile(file.absolutePath());
    if (Hook())
        return Hook()(folder);
    // The file manager shows the folder with the file selected; where none answers on the
    // session bus (within 2 s), the folder opens as any folder does.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(file.absoluteFilePath()).toString()} << QString();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return QDesktopServices::openUrl(folder);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 2000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished,
                     [folder](QDBusPendingCallWatcher* w) {
                         if (w->isError())
                             QDesktopServices::openUrl(folder);
                         w->deleteLater();
                     });
    return true;
}

namespace {
// A file the actions may remove: there, no folder, and (unless a link) writable by its owner.
bool Removable(const std::string& link) {
    if (link.empty() || IsUrlLink(link))
        return false;
    struct stat info {};
    if (lstat(link.c_str(), &info) != 0 || S_ISDIR(info.st_mode))
        return false;
    // A read-only file stays, as it would where the program comes from.
    return S_ISLNK(info.st_mode) || (info.st_mode & S_IWUSR);
}
} // namespace

bool DeleteLinkedFile(const std::string& link) {
    return Removable(link) && unlink(link.c_str()) == 0;
}

namespace {
// The home Trash of the freedesktop.org Trash specification: $XDG_DATA_HOME/Trash, with its
// files/ and info/ folders made (owner only) when missing; empty when it cannot be made.
QString HomeTrash() {
    const QString dataHome = XdgDataHome();
    const QString trash = dataHome + QStringLiteral("/Trash");
    for (const QString& dir :
         {dataHome, trash, trash + QStringLiteral("/files"), trash + QStringLiteral("/info")}) {
        if (QFileInfo(dir).isDir())
            continue;
        const bool made =
            dir == dataHome ? QDir().mkpath(dir) : mkdir(dir.toLocal8Bit().constData(), 0700) == 0;
        if (!made && errno != EEXIST)
            return {};
    }
    return trash;
}
} // namespace

// The home Trash takes files from its own volume; a file elsewhere is offered for deletion
// for good (no Trash of its own volume is made).
TrashOutcome TrashLinkedFile(const std::string& link, std::string& trashed) {
    if (!Removable(link))
        return TrashOutcome::Failed;
    const QString trash = HomeTrash();
    struct stat file {
    }, place{};
    if (trash.isEmpty() || lstat(link.c_str(), &file) != 0 ||
        stat(trash.toLocal8Bit().constData(), &place) != 0 || file.st_dev != place.st_dev)
        return TrashOutcome::NoTrash;
    const QFileInfo source(QString::fromStdString(link));
    const QString absolute = source.absoluteFilePath();
    // A name of its own in the Trash, claimed by creating its info file first.
    QString name = source.fileName();
    int fd = -1;
    for (int n = 2; n < 10000; ++n) {
        const QString info = trash + QStringLiteral("/info/") + name + QStringLiteral(".trashinfo");
        fd = open(info.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            break;
        name = source.completeBaseName() + QStringLiteral(" (%1)").arg(n) +
               (source.suffix().isEmpty() ? QString() : QStringLiteral(".") + source.suffix());
    }
    if (fd < 0)
        return TrashOutcome::Failed;
    const QByteArray record =
        "[Trash Info]\nPath=" + QUrl::toPercentEncoding(absolute, "/") + "\nDeletionDate=" +
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")).toLatin1() +
        "\n";
    const bool written =
        write(fd, record.constData(), static_cast<std::size_t>(record.size())) == record.size();
    close(fd);
    const QString target = trash + QStringLiteral("/files/") + name;
    if (!written || rename(link.c_str(), target.toLocal8Bit().constData()) != 0) {
        QFile::remove(trash + QStringLiteral("/info/") + name + QStringLiteral(".trashinfo"));
        return TrashOutcome::Failed;
    }
    trashed = target.toStdString();
    return TrashOutcome::Moved;
}

bool RestoreFromTrash(const std::string& trashed, const std::string& link) {
    struct stat info {};
    if (lstat(link.c_str(), &info) == 0 || lstat(trashed.c_str(), &info) != 0)
        return false;
    if (rename(trashed.c_str(), link.c_str()) != 0)
        return false;
    // TRASH/files/NAME has its record in TRASH/info/NAME.trashinfo.
    const QFileInfo place(QString::fromStdString(trashed));
    QFile::remove(place.dir().absoluteFilePath(QStringLiteral("../info/")) + place.fileName() +
                  QStringLiteral(".trashinfo"));
    return true;
}
