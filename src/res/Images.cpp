#include "res/Images.h"

#include <QFont>
#include <QLinearGradient>
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
