#include "gui/MessageBox.h"

#include "text/StringTable.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace {
MessageBoxHook& Hook() {
    static MessageBoxHook hook;
    return hook;
}
} // namespace

void SetMessageBoxHook(MessageBoxHook hook) {
    Hook() = std::move(hook);
}

Answer ShowMessageBox(const std::string& text, MessageKind kind, QWidget* parent) {
    if (Hook())
        return Hook()(text, kind);
    if (!parent)
        parent = QApplication::activeWindow();
    QMessageBox box(parent);
    box.setWindowTitle(QString::fromStdString(Text(TextId::AppTitle)));
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(text));
    switch (kind) {
    case MessageKind::Ok:
        box.setIcon(QMessageBox::Warning);
        box.setStandardButtons(QMessageBox::Ok);
        box.setDefaultButton(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
        break;
    case MessageKind::YesNo:
    case MessageKind::YesNoSafe:
        box.setIcon(QMessageBox::Question);
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(kind == MessageKind::YesNo ? QMessageBox::Yes : QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        break;
    case MessageKind::OkCancel:
        box.setIcon(QMessageBox::Question);
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Cancel);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Ok:
        return Answer::Ok;
    case QMessageBox::Yes:
        return Answer::Yes;
    case QMessageBox::No:
        return Answer::No;
    case QMessageBox::Cancel:
        return Answer::Cancel;
    default:
        return kind == MessageKind::YesNo      ? Answer::No
               : kind == MessageKind::OkCancel ? Answer::Cancel
                                               : Answer::Ok;
    }
}

namespace {
FileDialogHook& FileHook() {
    static FileDialogHook hook;
    return hook;
}
} // namespace

void SetFileDialogHook(FileDialogHook hook) {
    FileHook() = std::move(hook);
}

std::string AskDocumentPath(bool save, const std::string& suggested, QWidget* parent) {
    if (FileHook())
        return FileHook()(save, suggested);
    if (!parent)
        parent = QApplication::activeWindow();
    const QString filter = QObject::tr("Saved searches (*.zdxsearch)") + QStringLiteral(";;") +
                           QObject::tr("All Files (*)");
    const QString path =
        save ? QFileDialog::getSaveFileName(parent, QObject::tr("Save As"),
                                            QString::fromStdString(suggested), filter)
             : QFileDialog::getOpenFileName(parent, QObject::tr("Open"), QString(), filter);
    return path.toStdString();
}

std::string AskExportPath(bool& csv, QWidget* parent) {
    if (FileHook()) {
        const std::string path = FileHook()(true, "hits.csv");
        csv = path.size() < 4 || path.compare(path.size() - 4, 4, ".tsv") != 0;
        return path;
    }
    const QString csvFilter = QObject::tr("Comma-separated values (*.csv)");
    const QString tsvFilter = QObject::tr("Tab-separated values (*.tsv)");
    QString chosen = csvFilter;
    QString path =
        QFileDialog::getSaveFileName(parent, QObject::tr("Export hits"), QStringLiteral("hits.csv"),
                                     csvFilter + QStringLiteral(";;") + tsvFilter, &chosen);
    csv = chosen != tsvFilter && !path.endsWith(QStringLiteral(".tsv"));
    return path.toStdString();
}
