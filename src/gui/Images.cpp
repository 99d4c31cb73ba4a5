#include "gui/Images.h"

#include <QFont>
#include <QHash>
#include <QLinearGradient>
#include <QMimeDatabase>
#include <QPainter>
#include <QPainterPath>

QPixmap LogoPixmap() {
    QPixmap pixmap(206, 48);
    pixmap.fill(Qt::white);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);

    // A magnifying glass over a page.
    p.setPen(QPen(QColor(0x1F, 0x4E, 0x79), 1));
    p.setBrush(QColor(0xF2, 0xF5, 0xF9));
    p.drawRect(8, 6, 26, 34);
    p.setPen(QPen(QColor(0x9D, 0xB3, 0xC8), 2));
    for (int y = 13; y <= 33; y += 5)
        p.drawLine(12, y, 30, y);
    p.setPen(QPen(QColor(0x1F, 0x4E, 0x79), 4, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(QColor(255, 255, 255, 170));
    p.drawEllipse(QPointF(30, 24), 10, 10);
    p.drawLine(QPointF(37, 31), QPointF(45, 40));

    QFont big(QStringLiteral("Sans Serif"));
    big.setPixelSize(28);
    big.setBold(true);
    p.setFont(big);
    QLinearGradient shade(0, 8, 0, 40);
    shade.setColorAt(0, QColor(0x2E, 0x75, 0xB6));
    shade.setColorAt(1, QColor(0x1F, 0x4E, 0x79));
    p.setPen(QPen(QBrush(shade), 1));
    p.drawText(QRect(54, 2, 150, 32), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("ZDX"));
    QFont small(QStringLiteral("Sans Serif"));
    small.setPixelSize(10);
    p.setFont(small);
    p.setPen(QColor(0x59, 0x59, 0x59));
    p.drawText(QRect(55, 32, 150, 14), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("full-text search client"));
    return pixmap;
}

// The icons are compiled into this static library: make sure the linker keeps them.
static void InitResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(zdx);
        return true;
    }();
    (void)done;
}

QIcon AppIcon() {
    InitResources();
    static const QIcon icon = [] {
        QIcon i;
        for (int size : {16, 32, 64})
            i.addFile(QStringLiteral(":/icons/zdx-%1.png").arg(size), QSize(size, size));
        return i;
    }();
    return icon;
}

QIcon StopIcon() {
    QPixmap square(16, 16);
    square.fill(Qt::transparent);
    {
        QPainter painter(&square);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QColor(120, 20, 20));
        painter.setBrush(QColor(200, 40, 40));
        painter.drawRoundedRect(QRectF(2.5, 2.5, 11, 11), 2, 2);
    }
    return QIcon::fromTheme(QStringLiteral("process-stop"), QIcon(square));
}

QIcon ToolbarIcon(const char* name) {
    InitResources();
    return QIcon(QStringLiteral(":/icons/%1.png").arg(QLatin1String(name)));
}

namespace {

// Our own icon for a MIME type.
QString BundledKind(const QMimeType& mime) {
    const QString name = mime.name();
    if (name == QLatin1String("application/pdf"))
        return QStringLiteral("pdf");
    if (name == QLatin1String("text/html") || name == QLatin1String("application/xhtml+xml"))
        return QStringLiteral("html");
    if (name.startsWith(QLatin1String("image/")))
        return QStringLiteral("image");
    if (name.startsWith(QLatin1String("audio/")))
        return QStringLiteral("audio");
    if (name.startsWith(QLatin1String("video/")))
        return QStringLiteral("video");
    if (name.contains(QLatin1String("spreadsheet")) || name.contains(QLatin1String("excel")) ||
        name == QLatin1String("text/csv"))
        return QStringLiteral("spreadsheet");
    if (name.contains(QLatin1String("presentation")) || name.contains(QLatin1String("powerpoint")))
        return QStringLiteral("presentation");
    if (name.contains(QLatin1String("document")) || name.contains(QLatin1String("msword")) ||
        name == QLatin1String("application/rtf"))
        return QStringLiteral("document");
    if (name.contains(QLatin1String("zip")) || name.contains(QLatin1String("tar")) ||
        name.contains(QLatin1String("compressed")) || name.contains(QLatin1String("archive")) ||
        name.contains(QLatin1String("x-7z")) || name.contains(QLatin1String("rar")))
        return QStringLiteral("archive");
    if (name.startsWith(QLatin1String("text/")) || mime.inherits(QStringLiteral("text/plain")))
        return QStringLiteral("text");
    return QStringLiteral("generic");
}

} // namespace

QIcon FileTypeIcon(const QString& extension) {
    InitResources();
    static QHash<QString, QIcon> cache;
    auto it = cache.constFind(extension);
    if (it != cache.constEnd())
        return *it;
    static const QMimeDatabase mimes;
    const QMimeType mime = extension.isEmpty()
                               ? mimes.mimeTypeForName(QStringLiteral("application/octet-stream"))
                               : mimes.mimeTypeForFile(QStringLiteral("x.") + extension,
                                                       QMimeDatabase::MatchExtension);
    const QString kind = BundledKind(mime);
    QIcon ours;
    for (int size : {16, 32})
        ours.addFile(QStringLiteral(":/icons/type-%1-%2.png").arg(kind).arg(size),
                     QSize(size, size));
    const QIcon icon =
        QIcon::fromTheme(mime.iconName(), QIcon::fromTheme(mime.genericIconName(), ours));
    cache.insert(extension, icon);
    return icon;
}
