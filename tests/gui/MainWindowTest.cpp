// The main window offscreen: bars, menus, placement across runs, list styles, documents and the
// actions on a hit, with a temporary profile store and hooks for boxes, dialogs and the desktop.
#include "gui/MainWindow.h"
#include "config/Application.h"
#include "config/SettingsFile.h"
#include "gui/AboutDialog.h"
#include "gui/MessageBox.h"
#include "gui/ResultActions.h"
#include "gui/ResultModel.h"
#include "gui/ResultView.h"
#include "gui/SearchForm.h"
#include "text/StringTable.h"

#include <QAccessible>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QSet>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QTreeView>
#include <sys/stat.h>

namespace {

// A hit line with a title and a link (field 9).
std::string Hit(int number, const std::string& title, const std::string& link) {
    return std::to_string(number) + "|" + title + "||||||||" + link;
}

Settings SettingsOf(const std::string& ini = "") {
    SettingsFile source = SettingsFile::FromBytes(ini);
    return LoadSettings(source, false, Logger());
}

QStringList MenuTexts(QMenu* menu) {
    QStringList texts;
    for (QAction* action : menu->actions())
        if (action->isVisible())
            texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_profile;
    QTemporaryDir m_files;
    std::vector<std::string> m_messages;
    Answer m_answer = Answer::Yes;
    MessageKind m_lastKind = MessageKind::Ok;
    std::vector<QUrl> m_launched;
    bool m_launchWorks = true;
    std::string m_fileAnswer;

    QSettings Store() const {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Norvane"),
                         QStringLiteral("ZDX"));
    }
    QString FilePath(const char* name) const { return m_files.filePath(QString::fromLatin1(name)); }
    // Creates an empty file; false when it cannot.
    static bool Touch(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::WriteOnly);
    }
    // The window shown on the (offscreen) screen, its first update done.
    static bool ShowOnScreen(MainWindow& frame) {
        frame.SetUpViews();
        frame.resize(900, 500);
        frame.show();
        return QTest::qWaitForWindowExposed(&frame);
    }
    void Fill(MainWindow& frame, const std::vector<std::string>& lines) {
        for (const auto& line : lines)
            frame.ResultPane()->ParseResultLine(line);
        frame.ResultPane()->Model()->FlushPendingRows();
    }
    void Select(MainWindow& frame, int row) {
        QTreeView* view = frame.ResultPane()->DetailsView();
        view->selectionModel()->clearSelection();
        if (row >= 0)
            view->selectionModel()->select(frame.ResultPane()->Model()->index(row, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }

private slots:
    void initTestCase() {
        QVERIFY(m_profile.isValid() && m_files.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_profile.path());
        // The desktop Trash goes to the test's own data folder.
        qputenv("XDG_DATA_HOME", m_profile.filePath(QStringLiteral("data")).toLocal8Bit());
    }
    void init() {
        Store().clear();
        m_messages.clear();
        m_launched.clear();
        m_answer = Answer::Yes;
        m_launchWorks = true;
        SetMessageBoxHook([this](const std::string& text, MessageKind kind) {
            m_messages.push_back(text);
            m_lastKind = kind;
            return m_answer;
        });
        SetLaunchHook([this](const QUrl& url) {
            m_launched.push_back(url);
            return m_launchWorks;
        });
        SetFileDialogHook([this](bool, const std::string&) { return m_fileAnswer; });
    }
    void cleanup() {
        SetMessageBoxHook(nullptr);
        SetLaunchHook(nullptr);
        SetFileDialogHook(nullptr);
    }

    void barsAndMenus() {
        MainWindow frame(SettingsOf());
        QCOMPARE(frame.windowTitle(), QStringLiteral("ZDX"));
        QList<unsigned> toolbar;
        for (QAction* action : frame.ToolBar()->actions())
            toolbar << (action->isSeparator() ? 0u : action->data().toUInt());
        QCOMPARE(toolbar, (QList<unsigned>{57600, 57601, 57603, 0,     32774, 0, 32772,
                                           32771, 0,     57635, 57634, 57637, 0, 57607,
                                           0,     59409, 59408, 59410, 59411, 0, 57664}));
        const QList<QMenu*> menus =
            frame.menuBar()->findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly);
        QStringList titles;
        for (QAction* action : frame.menuBar()->actions())
            titles << action->text();
        QCOMPARE(titles, (QStringList{"&File", "&Edit", "&View", "&Help"}));
        auto* file = frame.findChild<QMenu*>(QStringLiteral("fileMenu"));
        QCOMPARE(MenuTexts(file).replaceInStrings(QStringLiteral("&"), QString()),
                 (QStringList{"New", "Open...", "Save", "Save As...", "-", "Recent File", "-", "-",
                              "Log in", "Log out", "-", "Settings", "-", "Export hits...",
                              "Clear search history", "-", "Exit"}));
        // Every item of every menu has a mnemonic of its own within its menu.
        QList<QMenu*> allMenus = frame.menuBar()->findChildren<QMenu*>();
        allMenus << frame.ResultPane()->ContextMenu();
        for (QMenu* menu : allMenus) {
            QSet<QChar> keys;
            for (QAction* action : menu->actions()) {
                if (action->isSeparator() || action == frame.Action(Command::RecentFile))
                    continue;
                const QString text = action->text();
                const auto at = text.indexOf(QLatin1Char('&'));
                QVERIFY2(at >= 0 && at + 1 < text.size(), qPrintable(text));
                QVERIFY2(!keys.contains(text[at + 1].toLower()), qPrintable(text));
                keys.insert(text[at + 1].toLower());
            }
        }
        QCOMPARE(MenuTexts(frame.findChild<QMenu*>(QStringLiteral("editMenu"))),
                 (QStringList{"&Undo", "-", "Cu&t", "&Copy", "&Paste", "&Delete", "-",
                              "Copy search as co&mmand"}));
        for (Command id : {Command::Undo, Command::Cut, Command::Copy, Command::Paste,
                           Command::Print, Command::RecentFile})
            QVERIFY2(!frame.Action(id)->isEnabled(),
                     qPrintable(QString::number(static_cast<unsigned>(id))));
        QVERIFY(frame.Action(Command::New)->isEnabled());
        QCOMPARE(frame.Action(Command::New)->shortcut(), QKeySequence(QStringLiteral("Ctrl+N")));
        QCOMPARE(frame.Action(Command::Cut)->shortcuts().size(), 2);
        QCOMPARE(frame.Action(Command::Open)->toolTip(), QStringLiteral("Open"));
        QCOMPARE(frame.Action(Command::Open)->statusTip(),
                 QStringLiteral("Open an existing document"));

        // Prompts go to pane 0, an empty one brings back "Ready".
        QStatusTipEvent tip(QStringLiteral("Create a new document"));
        QCoreApplication::sendEvent(&frame, &tip);
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Message)->text(),
                 QStringLiteral("Create a new document"));
        QStatusTipEvent none{QString()};
        QCoreApplication::sendEvent(&frame, &none);
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Message)->text(), QStringLiteral("Ready"));

        frame.show();
        frame.Action(Command::StatusBar)->trigger();
        QVERIFY(!frame.statusBar()->isVisible());
        frame.Action(Command::Toolbar)->trigger();
        QVERIFY(!frame.ToolBar()->isVisible());
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Hits)->text(), QStringLiteral("HITS"));
        // What a screen reader names: the list, the date box and every status pane.
        for (QWidget* named :
             {static_cast<QWidget*>(frame.ResultPane()->DetailsView()),
              static_cast<QWidget*>(frame.findChild<QWidget*>(QStringLiteral("dateCombo"))),
              static_cast<QWidget*>(frame.PaneLabel(MainWindow::Pane::Caps)),
              static_cast<QWidget*>(frame.PaneLabel(MainWindow::Pane::Hits))})
            QVERIFY2(
                !QAccessible::queryAccessibleInterface(named)->text(QAccessible::Name).isEmpty(),
                qPrintable(named->objectName()));
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Auth)->text(), QStringLiteral("AUTH"));
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Message)->text(), QStringLiteral("Ready"));
    }

    void placementAcrossRuns() {
        {
            MainWindow first;
            // No stored placement yet: the default column widths.
            QCOMPARE(first.Splitter()->widget(0)->minimumWidth(), 100);
            first.setGeometry(60, 70, 700, 420);
            first.show();
            QVERIFY(QTest::qWaitForWindowExposed(&first));
            // The fields widen with the pane; at its least the form scrolls instead of
            // squashing them.
            auto* query = first.findChild<QLineEdit*>(QStringLiteral("queryEdit"));
            first.Splitter()->setSizes({100, 600});
            QCoreApplication::processEvents();
            const int narrow = query->width();
            QVERIFY2(narrow >= 140, qPrintable(QString::number(narrow)));
            first.Splitter()->setSizes({400, 300});
            QCoreApplication::processEvents();
            QVERIFY2(query->width() > narrow + 150, qPrintable(QString::number(query->width())));
            first.Splitter()->setSizes({250, 450});
            first.close();
        }
        QSettings store = Store();
        QCOMPARE(store.value("MainWindow/showCmd").toInt(), 1);
        QCOMPARE(store.value("MainWindow/rcNormalPosition_left").toInt(), 60);
        QCOMPARE(store.value("MainWindow/rcNormalPosition_top").toInt(), 70);
        QCOMPARE(store.value("MainWindow/rcNormalPosition_right").toInt(), 760);
        QCOMPARE(store.value("MainWindow/rcNormalPosition_bottom").toInt(), 490);
        QCOMPARE(store.value("MainWindow/ptMinPosition_x").toInt(), -1);
        QCOMPARE(store.value("Splitter/Splitter0Cur").toInt(), 250);
        QCOMPARE(store.value("Splitter/Splitter0Min").toInt(), 100);
        QCOMPARE(store.value("Splitter/Splitter1Min").toInt(), 100);

        MainWindow second;
        QCOMPARE(second.geometry(), QRect(60, 70, 700, 420));
        second.ShowStored();
        QVERIFY(QTest::qWaitForWindowExposed(&second));
        QCOMPARE(second.Splitter()->sizes().value(0), 250);
    }

    void placementEdgeCases() {
        QSettings store = Store();
        // 999: nothing stored, whatever the coordinates say.
        store.setValue("MainWindow/showCmd", 999);
        store.setValue("MainWindow/rcNormalPosition_left", 33);
        store.setValue("MainWindow/rcNormalPosition_right", 533);
        store.sync();
        {
            MainWindow frame(SettingsOf());
            QVERIFY(frame.geometry().left() != 33);
        }
        // Absurd values still leave the window on a screen.
        for (const auto& values :
             std::vector<std::array<int, 4>>{{-50000, -50000, -40000, -40000},
                                             {100, 100, 90, 80},
                                             {0, 0, 2000000000, 2000000000},
                                             {-2147483647, 0, 2147483647, 500}}) {
            store.setValue("MainWindow/showCmd", 1);
            store.setValue("MainWindow/rcNormalPosition_left", values[0]);
            store.setValue("MainWindow/rcNormalPosition_top", values[1]);
            store.setValue("MainWindow/rcNormalPosition_right", values[2]);
            store.setValue("MainWindow/rcNormalPosition_bottom", values[3]);
            store.setValue("Splitter/Splitter0Cur", -7);
            store.setValue("Splitter/Splitter0Min", 99999999);
            store.sync();
            MainWindow frame(SettingsOf());
            const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
            QVERIFY2(
                screen.contains(frame.geometry().center()),
                qPrintable(QStringLiteral("%1 %2").arg(values[0]).arg(frame.geometry().width())));
            QVERIFY(frame.geometry().width() > 0 && frame.geometry().width() <= screen.width());
            QVERIFY(frame.Splitter()->widget(0)->minimumWidth() <= 10000);
            // What is written down on closing is the placement moved onto the screen.
            const QRect placed = frame.geometry();
            frame.close();
            QSettings written = Store();
            QCOMPARE(written.value("MainWindow/rcNormalPosition_left").toInt(), placed.left());
            QCOMPARE(written.value("MainWindow/rcNormalPosition_top").toInt(), placed.top());
            QCOMPARE(written.value("MainWindow/rcNormalPosition_right").toInt(),
                     placed.left() + placed.width());
            QCOMPARE(written.value("MainWindow/rcNormalPosition_bottom").toInt(),
                     placed.top() + placed.height());
        }
        // A window closed while minimised comes back minimised.
        store.clear();
        store.sync();
        {
            MainWindow frame(SettingsOf());
            frame.show();
            frame.showMinimized();
            frame.close();
        }
        QCOMPARE(Store().value("MainWindow/showCmd").toInt(), 2);
        MainWindow again;
        again.ShowStored();
        QVERIFY(again.windowState() & Qt::WindowMinimized);
    }

    void listStyles() {
        MainWindow frame(SettingsOf());
        frame.SetUpViews();
        ResultView* view = frame.ResultPane();
        QCOMPARE(view->Style(), ListStyle::Details);
        QVERIFY(frame.Action(Command::Details)->isChecked());
        QVERIFY(!frame.Action(Command::LineUp)->isEnabled());
        const std::pair<Command, ListStyle> styles[] = {
            {Command::LargeIcons, ListStyle::LargeIcons},
            {Command::SmallIcons, ListStyle::SmallIcons},
            {Command::List, ListStyle::List},
            {Command::Details, ListStyle::Details}};
        for (const auto& [id, style] : styles) {
            frame.Action(id)->trigger();
            QCOMPARE(view->Style(), style);
            for (const auto& [other, unused] : styles)
                QCOMPARE(frame.Action(other)->isChecked(), other == id);
            QCOMPARE(frame.Action(Command::LineUp)->isEnabled(),
                     style == ListStyle::LargeIcons || style == ListStyle::SmallIcons);
        }
        // Rows carry the icon of their file type in every style.
        Fill(frame, {Hit(1, "Report", "/docs/r.pdf"), Hit(2, "Notes", "/docs/n")});
        QVERIFY(!view->Model()->index(0, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
        QVERIFY(!view->Model()->index(1, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
        frame.Action(Command::LargeIcons)->trigger();
        QCOMPARE(view->IconView()->model(), view->Model());
    }

    void copyPutsTheFileOnTheClipboard() {
        MainWindow frame(SettingsOf());
        frame.SetUpViews();
        Fill(frame, {Hit(1, "A", "%2Ftmp%2Fsome dir%2Fa%84.txt"),
                     Hit(2, "B", "http://example.org/b?x=1")});
        QClipboard* clipboard = QGuiApplication::clipboard();
        clipboard->setText(QStringLiteral("untouched"));
        Select(frame, -1);
        frame.ResultPane()->OnCopy();
        QCOMPARE(clipboard->text(), QStringLiteral("untouched"));

        Select(frame, 0);
        frame.ResultPane()->ContextMenu()->actions().at(1)->trigger(); // "Copy"
        const QMimeData* data = clipboard->mimeData();
        QCOMPARE(data->data(QStringLiteral("text/uri-list")),
                 QByteArray("file:///tmp/some%20dir/a%C3%A4.txt\r\n"));
        QCOMPARE(data->data(QStringLiteral("x-special/gnome-copied-files")),
                 QByteArray("copy\nfile:///tmp/some%20dir/a%C3%A4.txt"));
        QCOMPARE(data->formats(), (QStringList{QStringLiteral("text/uri-list"),
                                               QStringLiteral("x-special/gnome-copied-files")}));
        // Ctrl+C and Ctrl+Insert in the list copy the selected hit's file as Copy does (never
        // the list's own text); Enter opens it, Delete asks before deleting it.
        for (const QKeyCombination key :
             {Qt::ControlModifier | Qt::Key_C, Qt::ControlModifier | Qt::Key_Insert}) {
            clipboard->clear();
            QTest::keyClick(frame.ResultPane()->DetailsView(), key.key(), key.keyboardModifiers());
            const QMimeData* copied = clipboard->mimeData();
            QVERIFY(copied);
            QCOMPARE(copied->data(QStringLiteral("text/uri-list")),
                     QByteArray("file:///tmp/some%20dir/a%C3%A4.txt\r\n"));
        }
        m_answer = Answer::No;
        QTest::keyClick(frame.ResultPane()->DetailsView(), Qt::Key_Delete);
        QCOMPARE(m_messages.back(), std::string("Really delete /tmp/some dir/a\xC3\xA4.txt?"));
        Select(frame, 1);
        QTest::keyClick(frame.ResultPane()->DetailsView(), Qt::Key_Return);
        QCOMPARE(m_launched, std::vector<QUrl>{QUrl(QStringLiteral("http://example.org/b?x=1"))});
        Select(frame, 0);

        Select(frame, 1);
        frame.ResultPane()->OnCopy();
        QCOMPARE(clipboard->mimeData()->data(QStringLiteral("text/uri-list")),
                 QByteArray("http://example.org/b?x=1\r\n"));

        // Both hits drag out together, as files.
        ResultModel* model = frame.ResultPane()->Model();
        QVERIFY(model->flags(model->index(0, 1)) & Qt::ItemIsDragEnabled);
        std::unique_ptr<QMimeData> dragged(
            model->mimeData({model->index(0, 0), model->index(0, 1), model->index(1, 0)}));
        QCOMPARE(dragged->formats(), (QStringList{QStringLiteral("text/uri-list"),
                                                  QStringLiteral("x-special/gnome-copied-files")}));
        QCOMPARE(dragged->data(QStringLiteral("x-special/gnome-copied-files")),
                 QByteArray("copy\nfile:///tmp/some%20dir/a%C3%A4.txt\nhttp://example.org/b?x=1"));
    }

    void actionsUseTheHitsOwnLink() {
        // No column shows the link: the actions still use it, never the title.
        MainWindow frame(SettingsOf("[List]\nColumns=1\nColumn0=0\n"));
        frame.SetUpViews();
        Fill(frame, {Hit(1, "kept.txt", "https://example.org/a"), Hit(2, "nolink.txt", "")});
        ResultView* view = frame.ResultPane();
        Select(frame, 0);
        QCOMPARE(view->LinkOfRow(0), std::string("https://example.org/a"));
        view->OpenFirstSelected();
        QCOMPARE(m_launched.size(), 1u);
        QCOMPARE(m_launched[0], QUrl(QStringLiteral("https://example.org/a")));
        view->UpdateContextMenu();
        QVERIFY(view->ContextMenu()->actions().at(0)->isEnabled()); // Open
        // A hit without a link offers nothing.
        Select(frame, 1);
        view->UpdateContextMenu();
        for (QAction* action : view->ContextMenu()->actions())
            QVERIFY(!action->isEnabled());
        view->OpenFirstSelected();
        view->OnDelete();
        QCOMPARE(m_launched.size(), 1u);
        QVERIFY(m_messages.empty());
    }

    void refineSortExportAndOpenFolder() {
        MainWindow frame(SettingsOf(
            "[List]\nColumns=2\nColumn0=0\nHeading0=Title\nColumn1=6\nHeading1=Where\n"));
        frame.SetUpViews();
        const std::string folder = m_files.path().toStdString();
        // A title in capitals with a line break: the filter folds every letter, not only the
        // first, and a CSV cell keeps the break inside its quotes.
        Fill(frame, {Hit(1, "Report, \"final\"", folder + "%2Fa.txt"),
                     Hit(2, "Budget\tplan", "https://example.org/b"),
                     Hit(3, "ANNUAL\nREPORT", folder + "%2Fc.txt"), Hit(4, "Notes", "")});
        frame.SetHitCount(4);
        ResultView* view = frame.ResultPane();
        // Words in any case, all of them, in any cell; the HITS pane counts what is shown.
        view->FilterField()->setText(QStringLiteral("rEPORT"));
        QCOMPARE(view->Model()->rowCount(), 2);
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Hits)->text(),
                 QStringLiteral("2 of 4 documents"));
        view->FilterField()->setText(QStringLiteral("report annual"));
        QCOMPARE(view->Model()->rowCount(), 1);
        view->FilterField()->setText(QStringLiteral("report"));
        view->OnColumnClick(0); // sorted by title (words go down on the first click), filter kept
        QCOMPARE(view->Model()->index(0, 0).data().toString(), QStringLiteral("Report, \"final\""));
        Select(frame, 1); // actions act on the row shown
        QCOMPARE(view->LinkOfRow(1), folder + "/c.txt");
        view->OnOpenFolder();
        QCOMPARE(m_launched.back(), QUrl::fromLocalFile(m_files.path()));
        view->UpdateContextMenu();
        QVERIFY(view->ContextMenu()->actions().at(3)->isEnabled()); // Open containing folder
        // Both formats, read back by a CSV reader: the shown rows in the shown order.
        for (const char* name : {"hits.csv", "hits.tsv"}) {
            m_fileAnswer = FilePath(name).toStdString();
            view->OnExport();
            QProcess python;
            python.start(
                QStringLiteral("python3"),
                {QStringLiteral("-c"),
                 QStringLiteral("import csv,sys,json; d='\\t' if sys.argv[1].endswith('tsv') "
                                "else ','; print(json.dumps(list(csv.reader(open(sys.argv[1], "
                                "newline=''), delimiter=d))))"),
                 FilePath(name)});
            QVERIFY(python.waitForFinished(10000));
            const QByteArray rows = python.readAllStandardOutput().trimmed();
            // CSV keeps the line break inside its quotes; TSV has no quoting and blanks it.
            const QByteArray lineBreak = QByteArray(name).endsWith("csv") ? "\\n" : " ";
            QCOMPARE(rows, QByteArray("[[\"Title\", \"Where\"], [\"Report, \\\"final\\\"\", \"") +
                               QByteArray::fromStdString(folder) +
                               QByteArray("/a.txt\"], [\"ANNUAL") + lineBreak +
                               QByteArray("REPORT\", \"") + QByteArray::fromStdString(folder) +
                               QByteArray("/c.txt\"]]"));
        }
        // Escape in the field clears it; everything is shown again.
        view->FilterField()->setFocus();
        QTest::keyClick(view->FilterField(), Qt::Key_Escape);
        QCOMPARE(view->Model()->rowCount(), 4);
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Hits)->text(),
                 QStringLiteral("4 documents found"));
        // A URL has no folder to open.
        for (int row = 0; row < 4; ++row)
            if (view->LinkOfRow(row) == "https://example.org/b") {
                Select(frame, row);
                view->UpdateContextMenu();
                QVERIFY(!view->ContextMenu()->actions().at(3)->isEnabled());
            }
    }

    // An export is as private as the user's umask makes new files (or as the file it
    // replaces), and a cell a spreadsheet would run as a formula is written as text.
    void exportModesAndFormulaCells() {
        MainWindow frame(SettingsOf("[List]\nColumns=1\nColumn0=0\nHeading0=Title\n"));
        frame.SetUpViews();
        Fill(frame, {Hit(1, "=1+1", ""), Hit(2, "@SUM(A1)", ""), Hit(3, "-2", ""), Hit(4, "+x", ""),
                     Hit(5, "a=b", "")});
        const mode_t old = umask(027);
        m_fileAnswer = FilePath("private.csv").toStdString();
        frame.ResultPane()->OnExport();
        umask(old);
        struct stat info {};
        QCOMPARE(stat(m_fileAnswer.c_str(), &info), 0);
        QCOMPARE(info.st_mode & 0777, mode_t(0640));
        QFile csv(QString::fromStdString(m_fileAnswer));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QCOMPARE(csv.readAll(), QByteArray("Title\r\n'=1+1\r\n'@SUM(A1)\r\n'-2\r\n'+x\r\na=b\r\n"));
        chmod(m_fileAnswer.c_str(), 0600);
        frame.ResultPane()->OnExport(); // replacing it keeps its mode
        QCOMPARE(stat(m_fileAnswer.c_str(), &info), 0);
        QCOMPARE(info.st_mode & 0777, mode_t(0600));
    }

    void filesThatAreGoneAreMarked() {
        const QString gone = FilePath("gone.txt");
        QVERIFY(Touch(gone));
        MainWindow frame(SettingsOf());
        QVERIFY(ShowOnScreen(frame));
        Fill(frame, {Hit(1, "Gone", gone.toStdString()), Hit(2, "Web", "https://example.org/w")});
        QFile::remove(gone); // deleted after the search
        ResultView* view = frame.ResultPane();
        QTRY_VERIFY(view->Model()->index(0, 0).data(Qt::ForegroundRole).isValid());
        QVERIFY(view->Model()
                    ->index(0, 0)
                    .data(Qt::ToolTipRole)
                    .toString()
                    .contains(QStringLiteral("This file no longer exists.")));
        QVERIFY(!view->Model()->index(1, 0).data(Qt::ForegroundRole).isValid());
        Select(frame, 0);
        view->OnCopy();
        view->OpenFirstSelected();
        QCOMPARE(m_messages, (std::vector<std::string>{"This file no longer exists.",
                                                       "This file no longer exists."}));
        QVERIFY(m_launched.empty());
    }

    void deleteAsksAndDeletes() {
        const QString kept = FilePath("kept.txt"), doomed = FilePath("doomed file.txt"),
                      locked = FilePath("locked.txt");
        for (const QString& path : {kept, doomed, locked})
            QVERIFY(Touch(path));
        chmod(locked.toLocal8Bit().constData(), 0444);
        MainWindow frame(SettingsOf());
        frame.SetUpViews();
        const std::string missing = FilePath("missing.txt").toStdString();
        Fill(frame, {Hit(1, "K", kept.toStdString()), Hit(2, "D", doomed.toStdString()),
                     Hit(3, "M", missing), Hit(4, "L", locked.toStdString())});

        m_answer = Answer::No;
        Select(frame, 0);
        frame.ResultPane()->OnDelete();
        QVERIFY(QFile::exists(kept));
        QCOMPARE(m_messages, std::vector<std::string>{"Really delete " + kept.toStdString() + "?"});

        QCOMPARE(m_lastKind, MessageKind::YesNoSafe); // "No" is the default answer

        // Delete moves to the Trash, and Undo puts the file back.
        m_answer = Answer::Yes;
        m_messages.clear();
        Select(frame, 1);
        frame.ResultPane()->ContextMenu()->actions().at(2)->trigger(); // "Delete"
        const QString trash = m_profile.filePath(QStringLiteral("data/Trash/"));
        const QString info = trash + QStringLiteral("info/doomed file.txt.trashinfo");
        QVERIFY(!QFile::exists(doomed));
        QVERIFY(QFile::exists(trash + QStringLiteral("files/doomed file.txt")));
        QVERIFY(QFile::exists(info));
        QCOMPARE(m_messages.size(), 1u);
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Message)->text(),
                 QStringLiteral("Moved to the Trash: doomed file.txt"));
        auto* undo = frame.findChild<QPushButton*>(QStringLiteral("messageBarUndo"));
        QVERIFY(undo->isVisibleTo(&frame));
        undo->click();
        QVERIFY(QFile::exists(doomed));
        QVERIFY(!QFile::exists(info));
        QVERIFY(!frame.ResultPane()->Model()->index(1, 0).data(Qt::ForegroundRole).isValid());

        // Shift+Delete deletes for good, after a question of its own.
        m_messages.clear();
        QTest::keyClick(frame.ResultPane()->DetailsView(), Qt::Key_Delete, Qt::ShiftModifier);
        QCOMPARE(m_messages, std::vector<std::string>{"Delete " + doomed.toStdString() +
                                                      " for good? This cannot be undone."});
        QVERIFY(!QFile::exists(doomed));
        QVERIFY(!QFile::exists(trash + QStringLiteral("files/doomed file.txt")));
        // The deleted file's row is marked at once: greyed, and Open says the file is gone.
        QVERIFY(frame.ResultPane()->Model()->index(1, 0).data(Qt::ForegroundRole).isValid());
        frame.ResultPane()->OpenFirstSelected();
        QCOMPARE(m_messages.back(), std::string("This file no longer exists."));
        QVERIFY(m_launched.empty());

        for (int row : {2, 3}) {
            m_messages.clear();
            Select(frame, row);
            frame.ResultPane()->OnDelete();
            const std::string link = frame.ResultPane()->LinkOfRow(row);
            QCOMPARE(m_messages, (std::vector<std::string>{"Really delete " + link + "?",
                                                           "Failed to delete " + link}));
        }
        QVERIFY(QFile::exists(locked));
        QCOMPARE(frame.ResultPane()->Model()->rowCount(), 4); // the rows stay
    }

    void doubleClickOpensTheFirstSelectedRow() {
        const QString there = FilePath("open me.txt");
        QVERIFY(Touch(there));
        MainWindow frame(SettingsOf());
        QVERIFY(ShowOnScreen(frame));
        Fill(frame, {Hit(1, "Here", there.toStdString()), Hit(2, "Gone", "/nonexistent/x.txt"),
                     Hit(3, "Web", "https://example.org/doc")});
        ResultView* view = frame.ResultPane();
        QTreeView* details = view->DetailsView();

        Select(frame, -1);
        view->OpenFirstSelected();
        QVERIFY(m_launched.empty());

        const QRect row0 = details->visualRect(view->Model()->index(0, 1));
        QTest::mouseClick(details->viewport(), Qt::LeftButton, {}, row0.center());
        QTest::mouseDClick(details->viewport(), Qt::LeftButton, {}, row0.center());
        QCOMPARE(m_launched.size(), 1u);
        QCOMPARE(m_launched[0], QUrl::fromLocalFile(there));

        Select(frame, 1);
        view->OpenFirstSelected();
        QCOMPARE(m_launched.size(), 1u); // a path that does not exist launches nothing
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Message)->text(),
                 QStringLiteral("Error 2 trying to launch /nonexistent/x.txt"));

        m_launchWorks = false;
        Select(frame, 2);
        view->OpenFirstSelected();
        QCOMPARE(m_launched.back(), QUrl(QStringLiteral("https://example.org/doc")));
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Message)->text(),
                 QStringLiteral("Error 31 trying to launch https://example.org/doc"));

        // With two rows selected the first in list order counts.
        m_launchWorks = true;
        Select(frame, 2);
        details->selectionModel()->select(view->Model()->index(0, 0),
                                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
        view->OpenFirstSelected();
        QCOMPARE(m_launched.back(), QUrl::fromLocalFile(there));
        // Opened twice: one entry in the desktop's recently used files, used twice by ZDX.
        QFile recent(m_profile.filePath(QStringLiteral("data/recently-used.xbel")));
        QVERIFY(recent.open(QIODevice::ReadOnly));
        const QString xbel = QString::fromUtf8(recent.readAll());
        QCOMPARE(xbel.count(QUrl::fromLocalFile(there).toString(QUrl::FullyEncoded)), 1);
        QVERIFY2(xbel.contains(QStringLiteral("name=\"ZDX\"")) &&
                     xbel.contains(QStringLiteral("count=\"2\"")),
                 qPrintable(xbel));

        // The keyboard's context menu stands at that row.
        const QPoint at = details->viewport()->mapFromGlobal(view->KeyboardMenuPosition());
        QCOMPARE(at, details->visualRect(view->Model()->index(0, 0)).bottomLeft());
    }

    void documentsAndRecentFiles() {
        const QString saved = FilePath("first.zdx");
        {
            QFile f(saved);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("old content");
        }
        MainWindow frame(SettingsOf());
        frame.SetUpViews();
        m_fileAnswer = saved.toStdString();
        frame.Action(Command::Save)->trigger(); // no name yet: Save As
        {
            QFile written(saved);
            QVERIFY(written.open(QIODevice::ReadOnly));
            QVERIFY(written.readAll().startsWith("[Search]\nQuery=\n"));
        }
        QCOMPARE(frame.windowTitle(), QStringLiteral("first - ZDX"));
        QCOMPARE(Store().value("Recent File List/File1").toString(), saved);

        const QString second = FilePath("second.zdx");
        QVERIFY(Touch(second));
        m_fileAnswer = second.toStdString();
        frame.Action(Command::Open)->trigger();
        QCOMPARE(Store().value("Recent File List/File1").toString(), second);
        QCOMPARE(Store().value("Recent File List/File2").toString(), saved);
        auto* file = frame.findChild<QMenu*>(QStringLiteral("fileMenu"));
        QVERIFY(MenuTexts(file).contains(QStringLiteral("&1 second.zdx")));
        QVERIFY(MenuTexts(file).contains(QStringLiteral("&2 first.zdx")));
        QVERIFY(!MenuTexts(file).contains(QStringLiteral("Recent File")));

        for (int i = 0; i < 4; ++i) {
            const QString path = FilePath(qPrintable(QStringLiteral("more%1.zdx").arg(i)));
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.close();
            QVERIFY(frame.OpenDocument(path.toStdString()));
        }
        QCOMPARE(frame.RecentFiles().Files().size(), 4u);
        QVERIFY(!Store().contains("Recent File List/File5"));

        // A file that is no saved search stays shut.
        const QString notes = FilePath("notes.txt");
        {
            QFile f(notes);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("just notes");
        }
        QVERIFY(!frame.OpenDocument(notes.toStdString()));
        QCOMPARE(m_messages.back(),
                 "Cannot open " + notes.toStdString() + ": it is not a saved search.");
        m_messages.clear();

        // An entry whose file is gone is removed with a message.
        QFile::remove(FilePath("more3.zdx"));
        frame.OnRecentFile(0);
        QCOMPARE(frame.RecentFiles().Files().size(), 3u);
        QCOMPARE(m_messages.size(), 1u);

        // A saved search dropped on the window opens.
        const QString dropped = FilePath("dropped.zdxsearch");
        QVERIFY(QFile::copy(saved, dropped));
        QMimeData drop;
        drop.setUrls({QUrl::fromLocalFile(notes), QUrl::fromLocalFile(dropped)});
        QVERIFY(frame.OpenDropped(&drop));
        QCOMPARE(frame.windowTitle(), QStringLiteral("dropped - ZDX"));

        // New keeps the columns and the dates as they are, and clears the form.
        frame.FormPane()->findChild<QLineEdit*>(QStringLiteral("queryEdit"))->setText("x");
        frame.Action(Command::New)->trigger();
        QCOMPARE(frame.ResultPane()->Model()->columnCount(), 8);
        QCOMPARE(frame.FormPane()->ReadForm().query, std::string());
        QCOMPARE(frame.windowTitle(), QStringLiteral("ZDX"));
    }

    void panesTakeTurnsWithF6() {
        MainWindow frame(SettingsOf());
        frame.SetUpViews();
        frame.show();
        QApplication::setActiveWindow(&frame);
        QVERIFY(QTest::qWaitForWindowActive(&frame));
        auto* query = frame.findChild<QLineEdit*>(QStringLiteral("queryEdit"));
        query->setFocus();
        QTest::keyClick(query, Qt::Key_F6);
        QCOMPARE(QApplication::focusWidget(), frame.ResultPane()->DetailsView());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), query);
    }

    void aboutBox() {
        AboutDialog about;
        QCOMPARE(about.windowTitle(), QStringLiteral("About ZDX"));
        QCOMPARE(about.findChild<QLabel*>(QStringLiteral("versionLabel"))->text(),
                 QStringLiteral("1, 1, 0, 10"));
        const QString build = about.findChild<QLabel*>(QStringLiteral("buildLabel"))->text();
        QVERIFY2(QRegularExpression(
                     QStringLiteral("^[A-Z][a-z]{2} [ \\d]\\d \\d{4} \\d\\d:\\d\\d:\\d\\d$"))
                     .match(build)
                     .hasMatch(),
                 qPrintable(build));
        QCOMPARE(about.findChild<QLabel*>(QStringLiteral("productLabel"))->text(),
                 QStringLiteral("Lurvik Retriever Version 1.1"));
        QVERIFY(!about.findChild<QLabel*>(QStringLiteral("aboutIcon"))->pixmap().isNull());
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
