#include "gui/AboutDialog.h"

#include "gui/Images.h"
#include "text/Version.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(tr("About ZDX"));
    auto plain = [this](const QString& text, const char* name) {
        auto* label = new QLabel(text, this);
        label->setObjectName(QString::fromLatin1(name));
        label->setTextFormat(Qt::PlainText);
        return label;
    };
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    icon->setPixmap(AppIcon().pixmap(32, 32));
    auto* ok = new QPushButton(tr("OK"), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QGridLayout(this);
    layout->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
    layout->addWidget(plain(QStringLiteral("Lurvik Retriever Version 1.1"), "productLabel"), 0, 1);
    layout->addWidget(ok, 0, 2, Qt::AlignTop);
    layout->addWidget(plain(tr("Copyright \u00A9 Norvane. All rights reserved."), "legalLabel"), 1,
                      1);
    layout->addWidget(plain(QStringLiteral("https://www.norvane.example/zdx"), "webLabel"), 2, 1);
    layout->addWidget(plain(QString::fromLatin1(kVersionText), "versionLabel"), 3, 1);
    layout->addWidget(plain(QStringLiteral("%1 %2").arg(QString::fromLatin1(BuildDate()),
                                                        QString::fromLatin1(BuildTime())),
                            "buildLabel"),
                      4, 1);
    layout->setColumnStretch(1, 1);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}
