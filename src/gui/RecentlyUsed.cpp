#include "gui/RecentlyUsed.h"

#include "text/WholeFile.h"

#include <QDateTime>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QUrl>

QString XdgDataHome() {
    const QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    return dataHome.isEmpty() || QDir::isRelativePath(dataHome)
               ? QDir::homePath() + QStringLiteral("/.local/share")
               : dataHome;
}

namespace {

QDomElement Child(QDomDocument& doc, QDomElement parent, const QString& name) {
    QDomElement child = parent.firstChildElement(name);
    if (child.isNull())
        child = parent.appendChild(doc.createElement(name)).toElement();
    return child;
}

} // namespace

bool AddToRecentlyUsed(const std::string& path) {
    const QFileInfo file(QString::fromStdString(path));
    if (!file.isFile())
        return false;
    const QString listPath = XdgDataHome() + QStringLiteral("/recently-used.xbel");
    QDomDocument doc;
    QFile list(listPath);
    if (list.exists()) {
        if (!list.open(QIODevice::ReadOnly) || !doc.setContent(&list) ||
            doc.documentElement().tagName() != QStringLiteral("xbel"))
            return false; // someone else's list we cannot read: left alone
        list.close();
    } else {
        QDomElement root = doc.createElement(QStringLiteral("xbel"));
        root.setAttribute(QStringLiteral("version"), QStringLiteral("1.0"));
        root.setAttribute(QStringLiteral("xmlns:bookmark"),
                          QStringLiteral("http://www.freedesktop.org/standards/desktop-bookmarks"));
        root.setAttribute(QStringLiteral("xmlns:mime"),
                          QStringLiteral("http://www.freedesktop.org/standards/shared-mime-info"));
        doc.appendChild(doc.createProcessingInstruction(
            QStringLiteral("xml"), QStringLiteral("version=\"1.0\" encoding=\"UTF-8\"")));
        doc.appendChild(root);
    }
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    const QString href = QUrl::fromLocalFile(file.absoluteFilePath()).toString(QUrl::FullyEncoded);
    QDomElement root = doc.documentElement();
    QDomElement bookmark;
    for (QDomElement b = root.firstChildElement(QStringLiteral("bookmark")); !b.isNull();
         b = b.nextSiblingElement(QStringLiteral("bookmark")))
        if (b.attribute(QStringLiteral("href")) == href)
            bookmark = b;
    if (bookmark.isNull()) {
        bookmark = root.appendChild(doc.createElement(QStringLiteral("bookmark"))).toElement();
        bookmark.setAttribute(QStringLiteral("href"), href);
        bookmark.setAttribute(QStringLiteral("added"), now);
    }
    bookmark.setAttribute(QStringLiteral("modified"), now);
    bookmark.setAttribute(QStringLiteral("visited"), now);
    QDomElement metadata =
        Child(doc, Child(doc, bookmark, QStringLiteral("info")), QStringLiteral("metadata"));
    metadata.setAttribute(QStringLiteral("owner"), QStringLiteral("http://freedesktop.org"));
    Child(doc, metadata, QStringLiteral("mime:mime-type"))
        .setAttribute(QStringLiteral("type"), QMimeDatabase().mimeTypeForFile(file).name());
    QDomElement apps = Child(doc, metadata, QStringLiteral("bookmark:applications"));
    QDomElement app;
    for (QDomElement a = apps.firstChildElement(QStringLiteral("bookmark:application"));
         !a.isNull(); a = a.nextSiblingElement(QStringLiteral("bookmark:application")))
        if (a.attribute(QStringLiteral("name")) == QStringLiteral("ZDX"))
            app = a;
    if (app.isNull()) {
        app =
            apps.appendChild(doc.createElement(QStringLiteral("bookmark:application"))).toElement();
        app.setAttribute(QStringLiteral("name"), QStringLiteral("ZDX"));
        app.setAttribute(QStringLiteral("exec"), QStringLiteral("'zdx %f'"));
    }
    app.setAttribute(QStringLiteral("modified"), now);
    app.setAttribute(QStringLiteral("count"),
                     app.attribute(QStringLiteral("count"), QStringLiteral("0")).toInt() + 1);
    QDir().mkpath(QFileInfo(listPath).absolutePath());
    WriteStep step = WriteStep::Create;
    int error = 0;
    return WriteFileWhole(listPath.toStdString(), doc.toByteArray(2).toStdString(), 0600, step,
                          error);
}
