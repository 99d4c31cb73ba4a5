// Draws the program's icons and writes them as PNG files into the folder given; the PNGs are
// committed and bundled by src/res/zdx.qrc. Run again after changing a drawing.
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <functional>

namespace {

const QColor kInk(0x1F, 0x4E, 0x79);
const QColor kPaper(0xFA, 0xFB, 0xFD);
const QColor kAccent(0x2E, 0x75, 0xB6);

void Page(QPainter& p, const QRectF& r, const QColor& fill = kPaper) {
    const qreal fold = r.width() * 0.3;
    QPainterPath path;
    path.moveTo(r.left(), r.top());
    path.lineTo(r.right() - fold, r.top());
    path.lineTo(r.right(), r.top() + fold);
    path.lineTo(r.right(), r.bottom());
    path.lineTo(r.left(), r.bottom());
    path.closeSubpath();
    p.setPen(QPen(kInk, r.width() / 12.0));
    p.setBrush(fill);
    p.drawPath(path);
    p.drawLine(QPointF(r.right() - fold, r.top()), QPointF(r.right() - fold, r.top() + fold));
    p.drawLine(QPointF(r.right() - fold, r.top() + fold), QPointF(r.right(), r.top() + fold));
}

void Lines(QPainter& p, const QRectF& r, int count) {
    p.setPen(QPen(QColor(0x9D, 0xB3, 0xC8), r.height() / 16.0));
    for (int i = 0; i < count; ++i) {
        const qreal y = r.top() + r.height() * (0.45 + 0.14 * i);
        p.drawLine(QPointF(r.left() + r.width() * 0.2, y), QPointF(r.right() - r.width() * 0.2, y));
    }
}

void Badge(QPainter& p, const QRectF& r, const QColor& color, const QString& text) {
    const QRectF band(r.left() - r.width() * 0.1, r.bottom() - r.height() * 0.42, r.width() * 0.95,
                      r.height() * 0.34);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawRoundedRect(band, 1.5, 1.5);
    QFont f(QStringLiteral("Sans Serif"));
    f.setBold(true);
    f.setPixelSize(qMax(5, int(band.height() * 0.85)));
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(band, Qt::AlignCenter, text);
}

void Person(QPainter& p, const QRectF& r) {
    p.setPen(QPen(kInk, 1.2));
    p.setBrush(QColor(0xDD, 0xE8, 0xF3));
    p.drawEllipse(QRectF(r.left() + r.width() * 0.3, r.top(), r.width() * 0.4, r.height() * 0.42));
    p.drawRoundedRect(QRectF(r.left() + r.width() * 0.1, r.top() + r.height() * 0.5,
                             r.width() * 0.8, r.height() * 0.5),
                      3, 3);
}

void Arrow(QPainter& p, QPointF from, QPointF to, const QColor& color) {
    p.setPen(QPen(color, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(from, to);
    const QPointF d = (to - from) / std::hypot((to - from).x(), (to - from).y());
    const QPointF n(-d.y(), d.x());
    p.drawLine(to, to - d * 3.5 + n * 3);
    p.drawLine(to, to - d * 3.5 - n * 3);
}

using Draw = std::function<void(QPainter&, qreal size)>;

void Save(const QString& folder, const QString& name, int size, const Draw& draw) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p, size);
    p.end();
    pixmap.save(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    const int s = 16;

    Save(out, "new", s, [](QPainter& p, qreal) { Page(p, QRectF(3, 1.5, 10, 13)); });
    Save(out, "open", s, [](QPainter& p, qreal) {
        p.setPen(QPen(kInk, 1));
        p.setBrush(QColor(0xF2, 0xC8, 0x5B));
        p.drawRect(QRectF(1.5, 4.5, 12, 9));
        p.setBrush(QColor(0xF7, 0xDC, 0x8F));
        QPolygonF lid({QPointF(3.5, 7.5), QPointF(15, 7.5), QPointF(13, 13.5), QPointF(1.5, 13.5)});
        p.drawPolygon(lid);
    });
    Save(out, "save", s, [](QPainter& p, qreal) {
        p.setPen(QPen(kInk, 1));
        p.setBrush(kAccent);
        p.drawRoundedRect(QRectF(1.5, 1.5, 13, 13), 1.5, 1.5);
        p.setBrush(Qt::white);
        p.drawRect(QRectF(4, 1.5, 8, 5));
        p.setBrush(QColor(0xDD, 0xE8, 0xF3));
        p.drawRect(QRectF(4, 9, 8, 5.5));
    });
    Save(out, "login", s, [](QPainter& p, qreal) {
        Person(p, QRectF(0.5, 1, 9, 14));
        Arrow(p, QPointF(8.5, 8), QPointF(15, 8), QColor(0x37, 0x8B, 0x3C));
    });
    Save(out, "logout", s, [](QPainter& p, qreal) {
        Person(p, QRectF(6.5, 1, 9, 14));
        Arrow(p, QPointF(7.5, 8), QPointF(1, 8), QColor(0xB0, 0x3A, 0x2E));
    });
    Save(out, "cut", s, [](QPainter& p, qreal) {
        p.setPen(QPen(kInk, 1.4));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(1.5, 10, 5, 5));
        p.drawEllipse(QRectF(9.5, 10, 5, 5));
        p.drawLine(QPointF(5.5, 10.5), QPointF(11.5, 1));
        p.drawLine(QPointF(10.5, 10.5), QPointF(4.5, 1));
    });
    Save(out, "copy", s, [](QPainter& p, qreal) {
        Page(p, QRectF(1.5, 1.5, 8.5, 10.5));
        Page(p, QRectF(6, 4.5, 8.5, 10.5));
    });
    Save(out, "paste", s, [](QPainter& p, qreal) {
        p.setPen(QPen(kInk, 1));
        p.setBrush(QColor(0xC8, 0x96, 0x5A));
        p.drawRoundedRect(QRectF(1.5, 2.5, 10, 12.5), 1, 1);
        p.setBrush(QColor(0x9D, 0xB3, 0xC8));
        p.drawRect(QRectF(4, 1, 5, 3));
        Page(p, QRectF(7, 6, 8, 9.5));
    });
    Save(out, "print", s, [](QPainter& p, qreal) {
        p.setPen(QPen(kInk, 1));
        p.setBrush(kPaper);
        p.drawRect(QRectF(4, 1.5, 8, 5));
        p.setBrush(QColor(0x8E, 0x9B, 0xA8));
        p.drawRoundedRect(QRectF(1.5, 6, 13, 6), 1.5, 1.5);
        p.setBrush(kPaper);
        p.drawRect(QRectF(4, 10, 8, 5));
    });
    Save(out, "largeicons", s, [](QPainter& p, qreal) {
        p.setPen(QPen(kInk, 1));
        p.setBrush(kAccent);
        for (int x : {1, 9})
            for (int y : {1, 9})
                p.drawRect(QRectF(x + 0.5, y + 0.5, 5, 5));
    });
    Save(out, "smallicons", s, [](QPainter& p, qreal) {
        p.setPen(Qt::NoPen);
        for (int x : {1, 9})
            for (int y : {2, 7, 12}) {
                p.setBrush(kAccent);
                p.drawRect(QRectF(x, y, 2.5, 2.5));
                p.setBrush(kInk);
                p.drawRect(QRectF(x + 3.5, y + 0.75, 2.5, 1));
            }
    });
    Save(out, "list", s, [](QPainter& p, qreal) {
        p.setPen(Qt::NoPen);
        for (int y : {2, 6, 10, 14}) {
            p.setBrush(kAccent);
            p.drawRect(QRectF(1, y - 1, 2.5, 2.5));
            p.setBrush(kInk);
            p.drawRect(QRectF(5, y - 0.25, 9, 1));
        }
    });
    Save(out, "details", s, [](QPainter& p, qreal) {
        p.setPen(QPen(kInk, 1));
        p.setBrush(kPaper);
        p.drawRect(QRectF(1.5, 1.5, 13, 13));
        p.setBrush(kAccent);
        p.drawRect(QRectF(1.5, 1.5, 13, 3));
        p.setPen(QPen(QColor(0x9D, 0xB3, 0xC8), 1));
        for (int y : {7, 10, 13})
            p.drawLine(QPointF(3, y), QPointF(13, y));
        p.drawLine(QPointF(6.5, 5), QPointF(6.5, 14));
    });
    Save(out, "about", s, [](QPainter& p, qreal) {
        p.setPen(QPen(kInk, 1));
        p.setBrush(kAccent);
        p.drawEllipse(QRectF(1, 1, 14, 14));
        p.setPen(Qt::white);
        QFont f(QStringLiteral("Serif"));
        f.setBold(true);
        f.setPixelSize(11);
        p.setFont(f);
        p.drawText(QRectF(1, 1, 14, 14), Qt::AlignCenter, QStringLiteral("i"));
    });

    // The application icon, 32 and 16 pixels: a magnifying glass over a page.
    for (int size : {16, 32, 64, 128}) {
        Save(out, QStringLiteral("zdx-%1").arg(size), size, [](QPainter& p, qreal z) {
            p.scale(z / 32.0, z / 32.0);
            Page(p, QRectF(3, 2, 18, 24));
            Lines(p, QRectF(3, 2, 18, 24), 3);
            p.setPen(QPen(kInk, 3.2, Qt::SolidLine, Qt::RoundCap));
            p.setBrush(QColor(255, 255, 255, 190));
            p.drawEllipse(QPointF(19, 18), 7, 7);
            p.drawLine(QPointF(24, 23), QPointF(30, 29));
        });
    }

    // File types, 16 and 32 pixels.
    struct Kind {
        const char* name;
        QColor color;
        const char* label;
    } kinds[] = {
        {"generic", QColor(0x8E, 0x9B, 0xA8), ""},
        {"text", QColor(0x59, 0x59, 0x59), "TXT"},
        {"pdf", QColor(0xC0, 0x39, 0x2B), "PDF"},
        {"html", QColor(0xE6, 0x7E, 0x22), "WEB"},
        {"image", QColor(0x27, 0xAE, 0x60), "IMG"},
        {"archive", QColor(0x8E, 0x44, 0xAD), "ZIP"},
        {"document", QColor(0x2E, 0x75, 0xB6), "DOC"},
        {"spreadsheet", QColor(0x1E, 0x84, 0x49), "XLS"},
        {"presentation", QColor(0xD3, 0x54, 0x00), "PPT"},
        {"audio", QColor(0x16, 0xA0, 0x85), "SND"},
        {"video", QColor(0x34, 0x49, 0x5E), "VID"},
    };
    for (const Kind& k : kinds)
        for (int size : {16, 32})
            Save(out, QStringLiteral("type-%1-%2").arg(QLatin1String(k.name)).arg(size), size,
                 [&k](QPainter& p, qreal z) {
                     const QRectF page(z * 0.16, z * 0.06, z * 0.68, z * 0.88);
                     Page(p, page);
                     Lines(p, page, 2);
                     if (*k.label)
                         Badge(p, page, k.color, QString::fromLatin1(k.label));
                 });
    return 0;
}
