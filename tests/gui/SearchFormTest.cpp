// The search form driven with real key presses, against a real server on 127.0.0.1.
#include "gui/SearchForm.h"
#include "config/Application.h"
#include "config/SettingsFile.h"
#include "diag/ActivityLog.h"
#include "gui/MainWindow.h"
#include "gui/MessageBox.h"
#include "gui/RequestRunner.h"
#include "gui/ResultModel.h"
#include "gui/ResultView.h"
#include "gui/SettingsDialog.h"
#include "profile/ProfileStore.h"
#include <cstdio>

#include "../support/RawServer.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QCompleter>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <atomic>
#include <cstring>
#include <dlfcn.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

// A resolver that never answers for one name: the name lookup of libcurl's resolver thread
// goes through here, and is held until the test lets it go.
std::atomic<bool> g_holdLookups{true};
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
    using Real = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node && std::strcmp(node, "unanswered.invalid") == 0) {
        for (int waited = 0; g_holdLookups && waited < 20000; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return EAI_AGAIN;
    }
    return real(node, service, hints, result);
}

namespace {

const char* kIndexes = "[Settings]\nAddress=127.0.0.1\n"
                       "[Indexes]\nIndex0=docs\nIndexName0=Documents\nIndex3=arch\nIndex4=mail\n"
                       "IndexName4=Mail\n";

Settings SettingsOf(const std::string& ini) {
    SettingsFile source = SettingsFile::FromBytes(ini);
    return LoadSettings(source, false, Logger());
}

// The form's settings, against a server on 127.0.0.1:port.
Settings SettingsFor(int port) {
    Settings settings = SettingsOf(kIndexes);
    settings.connection.port = port;
    return settings;
}

} // namespace

class SearchFormTest : public QObject {
    Q_OBJECT
private:
    template <class T> T* Find(MainWindow& frame, const char* name) {
        T* widget = frame.findChild<T*>(QString::fromLatin1(name));
        if (!widget)
            qFatal("no widget %s", name);
        return widget;
    }
    void Enter(Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return, modifiers);
    }
    void ShowActive(MainWindow& frame) {
        frame.SetUpViews();
        frame.resize(900, 500);
        frame.show();
        QApplication::setActiveWindow(&frame);
        QVERIFY(QTest::qWaitForWindowActive(&frame));
    }

private slots:
    void formFromTheSettings() {
        MainWindow frame(SettingsOf(kIndexes));
        ShowActive(frame);
        const char* names[] = {"Documents", "", "", "arch", "Mail"};
        const bool enabled[] = {true, false, false, true, true};
        for (int i = 0; i < 5; ++i) {
            auto* box = Find<QCheckBox>(frame, qPrintable(QStringLiteral("index%1").arg(i)));
            QCOMPARE(box->text(), QString::fromLatin1(names[i]));
            QCOMPARE(box->isEnabled(), enabled[i]);
            QVERIFY(box->isVisible());
            QVERIFY(!box->isChecked());
        }
        // Box 4 stands in the fourth row, box 3 in the fifth.
        QVERIFY(Find<QCheckBox>(frame, "index4")->y() < Find<QCheckBox>(frame, "index3")->y());

        auto* date = Find<QComboBox>(frame, "dateCombo");
        const QStringList entries = {"All dates",     "Last week",     "Last month",
                                     "Last 3 months", "Last 6 months", "Last Year"};
        frame.SetUpViews(); // again: no second set of entries
        QCOMPARE(date->count(), 6);
        for (int i = 0; i < 6; ++i)
            QCOMPARE(date->itemText(i), entries[i]);
        QCOMPARE(date->currentIndex(), -1);
        QCOMPARE(date->itemData(5).toInt(), -31536000);
        QVERIFY(!Find<QLabel>(frame, "logo")->pixmap().isNull());
    }

    // Under a dark theme the white form keeps dark, readable text.
    void formIsReadableUnderADarkPalette() {
        const QPalette before = QApplication::palette();
        QPalette dark;
        for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button})
            dark.setColor(role, QColor(0x30, 0x30, 0x30));
        for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            dark.setColor(role, QColor(0xee, 0xee, 0xee));
        QApplication::setPalette(dark);
        MainWindow frame(SettingsOf(kIndexes));
        ShowActive(frame);
        for (const char* name : {"queryEdit", "index0", "dateCombo", "searchButton"}) {
            QWidget* widget = Find<QWidget>(frame, name);
            for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
                QVERIFY2(widget->palette().color(role).lightness() < 100, name);
            QCOMPARE(widget->palette().color(QPalette::Base), QColor(Qt::white));
        }
        QApplication::setPalette(before);
    }

    // The history lives in the state folder; the profile store's old one is taken over once.
    void oldHistoryMovesToTheStateFolderOnce() {
        const std::string path = RecentSearches::DefaultPath();
        std::remove(path.c_str());
        {
            ProfileStore store;
            store.WriteString("History", "Query0", "newer");
            store.WriteString("History", "Query1", "older");
        }
        {
            SearchForm form;
            QCOMPARE(form.History().Queries(), (std::vector<std::string>{"newer", "older"}));
        }
        ProfileStore store;
        QCOMPARE(store.ReadString("History", "Query0", "gone"), std::string(""));
        store.WriteString("History", "Query0", "again");
        SearchForm form; // the file is there now: the profile store is not read again
        QCOMPARE(form.History().Queries(), (std::vector<std::string>{"newer", "older"}));
    }

    // A search saved as a document opens with its form, refine text and sort, and runs.
    void aSavedSearchOpensAndRuns() {
        RawServer server(RawServer::Reply(
            HttpResponse("200 OK", "0|3|0||\n1|Beta|90\n2|Alpha|80\n3|Zeta|85\n")));
        QTemporaryDir dir;
        const std::string path = dir.filePath("budget review.zdxsearch").toStdString();
        SearchRequest form;
        form.query = "budget";
        form.filename = "*.pdf";
        form.ticked[4] = true;
        form.dateSeconds = kDateRanges[2].seconds;
        {
            MainWindow frame(SettingsFor(server.Port()));
            frame.SetUpViews();
            frame.FormPane()->WriteForm(form);
            frame.ResultPane()->FilterField()->setText("et");
            frame.ResultPane()->SetSort(1, false); // Rel %, smallest first
            QVERIFY(frame.SaveDocumentAs(path));
            {
                QFile f(QString::fromStdString(path));
                f.open(QIODevice::ReadOnly);
                qWarning("%s", f.readAll().constData());
                qWarning("cols %d", frame.ResultPane()->Model()->columnCount());
            }
            QCOMPARE(frame.windowTitle(), QStringLiteral("budget review - ZDX"));
        }
        MainWindow frame(SettingsFor(server.Port()));
        frame.SetUpViews();
        QVERIFY(frame.OpenDocument(path));
        frame.Requests()->Wait();
        QCoreApplication::processEvents();
        const SearchRequest read = frame.FormPane()->ReadForm();
        QCOMPARE(read.query, form.query);
        QCOMPARE(read.filename, form.filename);
        QCOMPARE(read.ticked, form.ticked);
        QCOMPARE(read.dateSeconds, form.dateSeconds);
        QCOMPARE(frame.ResultPane()->FilterField()->text(), QStringLiteral("et"));
        QCOMPARE(server.Connections(), 1);
        QCOMPARE(frame.ResultPane()->Model()->rowCount(), 2);
        QCOMPARE(frame.ResultPane()->Model()->index(0, 0).data().toString(),
                 QStringLiteral("Zeta"));
        // Pane 0 counts what the search found, the refine field what it shows.
        QVERIFY(frame.PaneLabel(MainWindow::Pane::Message)->text().startsWith("3 documents in"));
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Hits)->text(),
                 QStringLiteral("2 of 3 documents"));
    }

    void searchWithTheKeyboard() {
        RawServer server(RawServer::Reply(
            HttpResponse("200 OK", "0|2|0||\n1|First|90|||||||/docs/a.txt\n2|Second|80\n")));
        MainWindow frame(SettingsFor(server.Port()));
        ShowActive(frame);
        auto* query = Find<QLineEdit>(frame, "queryEdit");
        auto* filename = Find<QLineEdit>(frame, "filenameEdit");
        auto* search = Find<QPushButton>(frame, "searchButton");

        query->setFocus();
        QTest::keyClicks(query, "report x");
        Enter();
        QCOMPARE(QApplication::focusWidget(), filename);
        QTest::keyClicks(filename, "*.pdf");
        Find<QCheckBox>(frame, "index4")->setFocus();
        QTest::keyClick(Find<QCheckBox>(frame, "index4"), Qt::Key_Space);
        QVERIFY(Find<QCheckBox>(frame, "index4")->isChecked());
        Find<QComboBox>(frame, "dateCombo")->setCurrentIndex(2);
        filename->setFocus();
        Enter();
        QCOMPARE(QApplication::focusWidget(), search);
        QCOMPARE(server.Connections(), 0);
        Enter(); // on the button: a search
        frame.Requests()->Wait();
        // The query is remembered for the next start, and offered on Down in an empty field.
        // With its indexes, date and filter, which picking it from the list brings back.
        {
            SearchForm next;
            next.SetUp(SettingsFor(server.Port()));
            QCOMPARE(next.History().Queries().front(), std::string("report x"));
            emit next.findChild<QLineEdit*>(QStringLiteral("queryEdit"))
                ->completer()
                ->activated("report x");
            const SearchRequest restored = next.ReadForm();
            QCOMPARE(restored.filename, std::string("*.pdf"));
            QVERIFY(restored.ticked[4] && !restored.ticked[0]);
            QCOMPARE(restored.dateSeconds, kDateRanges[2].seconds);
        }
        query->clear();
        query->setFocus();
        QTest::keyClick(query, Qt::Key_Down);
        QTRY_VERIFY(Find<SearchForm>(frame, "leftView")->HistoryCompleter()->popup()->isVisible());
        Find<SearchForm>(frame, "leftView")->HistoryCompleter()->popup()->hide();
        query->setText(QStringLiteral("report x"));
        QCOMPARE(server.Connections(), 1);
        const std::string request = server.Requests().at(0);
        QCOMPARE(request.substr(0, request.find("\r\n")),
                 std::string("GET /lvsearch/SearchServlet?site=localhost&theme=zdx&template="
                             "PlainTemplate.html&numhits=999&query0=report%20x&filefilter=*.pdf"
                             "&index=mail;&date=-2635200000 HTTP/1.1"));

        QCoreApplication::processEvents();
        ResultView* view = frame.ResultPane();
        QCOMPARE(view->Model()->rowCount(), 2);
        QCOMPARE(view->Model()->index(0, 0).data().toString(), QStringLiteral("First"));
        QCOMPARE(view->Model()->index(0, 2).data().toString(), QStringLiteral("a.txt"));
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Hits)->text(),
                 QStringLiteral("2 documents found"));
        // Pane 0 ends on what the search found, not on the closed connection.
        QVERIFY2(QRegularExpression(QStringLiteral("^2 documents in \\d+\\.\\d s$"))
                     .match(frame.PaneLabel(MainWindow::Pane::Message)->text())
                     .hasMatch(),
                 qPrintable(frame.PaneLabel(MainWindow::Pane::Message)->text()));
        // ... which a screen reader hears with the list.
        QCOMPARE(view->findChild<QTreeView*>()->accessibleDescription(),
                 frame.PaneLabel(MainWindow::Pane::Message)->text());
        // The form keeps what was typed.
        QCOMPARE(query->text(), QStringLiteral("report x"));
        // Ctrl+Enter in any field searches at once; F5 runs the search again; Ctrl+1..4 pick
        // the list's style.
        filename->setFocus();
        Enter(Qt::ControlModifier);
        frame.Requests()->Wait();
        QCOMPARE(server.Connections(), 2);
        QTest::keyClick(&frame, Qt::Key_F5);
        frame.Requests()->Wait();
        QCOMPARE(server.Connections(), 3);
        // With the history popup open, a click on Search searches at once (not only closing
        // the popup), and so does Ctrl+Enter.
        QAbstractItemView* popup = Find<SearchForm>(frame, "leftView")->HistoryCompleter()->popup();
        query->clear();
        query->setFocus();
        QTest::keyClick(query, Qt::Key_Down);
        QTRY_VERIFY(popup->isVisible());
        QTest::mouseClick(popup, Qt::LeftButton, {},
                          popup->mapFromGlobal(search->mapToGlobal(search->rect().center())));
        frame.Requests()->Wait();
        QCOMPARE(server.Connections(), 4);
        QVERIFY(!popup->isVisible());
        QTest::keyClick(query, Qt::Key_Down);
        QTRY_VERIFY(popup->isVisible());
        QTest::keyClick(popup, Qt::Key_Return, Qt::ControlModifier);
        frame.Requests()->Wait();
        QCOMPARE(server.Connections(), 5);
        QTest::keyClick(&frame, Qt::Key_1, Qt::ControlModifier);
        QCOMPARE(view->Style(), ListStyle::LargeIcons);
        QTest::keyClick(&frame, Qt::Key_4, Qt::ControlModifier);
        QCOMPARE(view->Style(), ListStyle::Details);
    }

    void enterMovesOnWithoutTouchingTheControl() {
        MainWindow frame(SettingsOf(kIndexes));
        ShowActive(frame);
        auto* first = Find<QCheckBox>(frame, "index0");
        first->setFocus();
        Enter();
        QVERIFY(!first->isChecked());
        // Boxes 1 and 2 are disabled: the next stop is box 3.
        QCOMPARE(QApplication::focusWidget(), Find<QCheckBox>(frame, "index3"));
        Find<QComboBox>(frame, "dateCombo")->setFocus();
        Enter(); // wraps to the first field
        QCOMPARE(QApplication::focusWidget(), Find<QLineEdit>(frame, "queryEdit"));
        Enter(Qt::ControlModifier); // not the form's business
        QCOMPARE(QApplication::focusWidget(), Find<QLineEdit>(frame, "queryEdit"));
    }

    void failedSearchShowsTheStatusAndAnEmptyList() {
        RawServer server(RawServer::Reply(HttpResponse("500 Oops", "7|never\n")));
        MainWindow frame(SettingsFor(server.Port()));
        ShowActive(frame);
        frame.ResultPane()->ParseResultLine("3|old row");
        Find<QPushButton>(frame, "searchButton")->click();
        QCOMPARE(frame.ResultPane()->Model()->rowCount(), 0); // the old rows go at once
        frame.Requests()->Wait();
        QCOMPARE(frame.ResultPane()->Model()->rowCount(), 0);
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Message)->text(),
                 QStringLiteral("Status Code 500 was returned."));
        // The message bar says it in words, and so for a service that is not there; the next
        // search takes it away.
        auto* bar = frame.ResultPane()->MessageBar();
        auto* text = frame.ResultPane()->findChild<QLabel*>(QStringLiteral("messageBarText"));
        QVERIFY(bar->isVisible());
        QCOMPARE(text->text(), QStringLiteral("The search service failed while answering (500). "
                                              "Please try again later."));
        const int closed = ClosedPort();
        frame.MutableSettings().connection.port = closed;
        Find<QPushButton>(frame, "searchButton")->click();
        frame.Requests()->Wait();
        QCOMPARE(text->text(), QStringLiteral("Cannot reach the search service at 127.0.0.1:%1: "
                                              "the connection was refused (12029). Is the "
                                              "service running?")
                                   .arg(closed));
        frame.MutableSettings().connection.port = server.Port();
        Find<QPushButton>(frame, "searchButton")->click();
        QVERIFY(!bar->isVisible());
        frame.Requests()->Wait();
    }

    void charactersTheServiceCannotReceiveAreRefused() {
        RawServer server(RawServer::Reply("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
        std::vector<std::string> messages;
        SetMessageBoxHook([&messages](const std::string& text, MessageKind) {
            messages.push_back(text);
            return Answer::Ok;
        });
        MainWindow frame(SettingsFor(server.Port()));
        ShowActive(frame);
        Find<QLineEdit>(frame, "queryEdit")->setText(QString::fromUtf8("caf\xC3\xA9 \xCE\xA9mega"));
        Find<QPushButton>(frame, "searchButton")->click();
        frame.Requests()->Wait();
        SetMessageBoxHook(nullptr);
        QCOMPARE(messages, std::vector<std::string>{"The search service cannot receive the "
                                                    "character \xCE\xA9 (U+03A9). Please "
                                                    "remove it."});
        QCOMPARE(server.Connections(), 0);

        // Free text in the date box is refused, not taken as "any date"; a range's own name
        // typed in any case is taken as picked.
        messages.clear();
        SetMessageBoxHook([&messages](const std::string& text, MessageKind) {
            messages.push_back(text);
            return Answer::Ok;
        });
        Find<QLineEdit>(frame, "queryEdit")->setText(QStringLiteral("budget"));
        auto* date = Find<QComboBox>(frame, "dateCombo");
        date->setEditText(QStringLiteral("yesterday"));
        Find<QPushButton>(frame, "searchButton")->click();
        frame.Requests()->Wait();
        QCOMPARE(messages.size(), std::size_t{1});
        QVERIFY(messages[0].rfind("\"yesterday\" is not a date range.", 0) == 0);
        QCOMPARE(server.Connections(), 0);
        date->setEditText(date->itemText(1).toUpper());
        QCOMPARE(frame.FormPane()->ReadForm().dateSeconds, -604800);
        SetMessageBoxHook(nullptr);
    }

    // A service message shown while the page ends: the search is over only once every row
    // queued behind the box is in the list.
    void aMessageBoxAtTheEndOfThePageKeepsTheSearchGoing() {
        std::string page = "0|5000\n-3|Careful\n";
        for (int i = 1; i <= 5000; ++i)
            page += std::to_string(i) + "|t\n";
        RawServer server(RawServer::Reply(HttpResponse("200 OK", page)));
        MainWindow frame(SettingsFor(server.Port()));
        ShowActive(frame);
        auto* search = Find<QPushButton>(frame, "searchButton");
        bool busyAfterTheBox = false;
        QString buttonAfterTheBox;
        SetMessageBoxHook([&](const std::string&, MessageKind) {
            // A box stays up while the page ends: its own event loop runs meanwhile.
            QEventLoop loop;
            QTimer::singleShot(500, &loop, &QEventLoop::quit);
            loop.exec();
            busyAfterTheBox = frame.Requests()->Busy();
            buttonAfterTheBox = search->text();
            return Answer::Ok;
        });
        search->click();
        frame.Requests()->Wait();
        SetMessageBoxHook(nullptr);
        QVERIFY(busyAfterTheBox);
        QCOMPARE(buttonAfterTheBox, QStringLiteral("Stop"));
        QCOMPARE(frame.ResultPane()->Model()->rowCount(), 5000);
        QVERIFY(!frame.ResultPane()->findChild<QLabel*>(QStringLiteral("emptyNote"))->isVisible());
    }

    // A window destroyed while the worker waits for room in a full queue must not hang.
    void destroyingTheWindowWhileRowsWaitEnds() {
        std::string page = "0|60000\n";
        for (int i = 1; i <= 60000; ++i)
            page += std::to_string(i) + "|t\n";
        RawServer server(RawServer::Reply(HttpResponse("200 OK", page)));
        auto* frame = new MainWindow(SettingsFor(server.Port()));
        ShowActive(*frame);
        Find<QPushButton>(*frame, "searchButton")->click();
        // No event loop runs: the queue fills to its limit and the worker waits for room.
        for (int waited = 0; frame->Requests()->QueuedRows() < 50000 && waited < 10000; waited += 5)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        QCOMPARE(frame->Requests()->QueuedRows(), std::size_t{50000});
        delete frame; // returns: the worker is told to stop and wakes
    }

    // Stop while the host name is being resolved by a name server that does not answer: the
    // window must not wait for the resolver.
    void stopDuringANameLookupIsQuick() {
        Settings settings = SettingsOf(kIndexes);
        settings.connection.address = "unanswered.invalid";
        MainWindow frame(settings);
        ShowActive(frame);
        g_holdLookups = true;
        for (int round = 0; round < 2; ++round) {
            Find<QPushButton>(frame, "searchButton")->click();
            QTest::qWait(100); // the lookup is under way
            QElapsedTimer timer;
            timer.start();
            QTest::keyClick(&frame, Qt::Key_Escape);
            QTRY_VERIFY(!frame.Requests()->Busy());
            QVERIFY2(timer.elapsed() < 200, qPrintable(QString::number(timer.elapsed())));
        }
        g_holdLookups = false;
    }

    // Accepting new settings during a search must neither stop it nor move it: it ends with the
    // address it started with, and the next search goes to the new one.
    void settingsDuringASearchApplyToTheNextOne() {
        std::atomic<bool> release{false};
        RawServer slow([&release](int socket, const std::string&, RawServer& self) {
            self.Send(socket, "HTTP/1.1 200 OK\r\nContent-Length: 29\r\n\r\n0|2\n1|Old one\n");
            while (!release && !self.Stopping())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            self.Send(socket, "2|Old two\n");
        });
        RawServer next(RawServer::Reply(HttpResponse("200 OK", "0|1\n7|New\n")));
        MainWindow frame(SettingsFor(slow.Port()));
        ShowActive(frame);
        Find<QPushButton>(frame, "searchButton")->click();
        QTRY_COMPARE(frame.ResultPane()->Model()->rowCount(), 1);
        QTimer::singleShot(0, [&next] {
            auto* dialog = qobject_cast<SettingsDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->findChild<QLineEdit*>(QStringLiteral("addressEdit"))
                ->setText(QStringLiteral("127.0.0.1"));
            dialog->findChild<QLineEdit*>(QStringLiteral("portEdit"))
                ->setText(QString::number(next.Port()));
            dialog->OnOK();
        });
        frame.Action(Command::Settings)->trigger();
        QCOMPARE(frame.CurrentSettings().connection.port, next.Port());
        QVERIFY(frame.Requests()->Busy()); // not stopped by the dialog
        release = true;
        frame.Requests()->Wait();
        QCOMPARE(frame.ResultPane()->Model()->rowCount(), 2);
        QCOMPARE(next.Connections(), 0);
        Find<QPushButton>(frame, "searchButton")->click();
        frame.Requests()->Wait();
        QCOMPARE(next.Connections(), 1);
        QCOMPARE(frame.ResultPane()->Model()->index(0, 0).data().toString(), QStringLiteral("New"));
        QCOMPARE(slow.Connections(), 1);
    }

    // A page that holds back: the first rows, then nothing until the test lets it go on.
    void windowStaysAliveWhileTheServiceHoldsItsAnswer() {
        std::atomic<bool> release{false};
        RawServer server([&release](int socket, const std::string&, RawServer& self) {
            self.Send(socket, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n"
                              "0|74\n1|First|90\n2|Second|80\n3|Third|70\n");
            // Until released, or until the client hangs up.
            for (char byte; !release && !self.Stopping();) {
                pollfd p{socket, POLLIN, 0};
                if (poll(&p, 1, 10) > 0 && recv(socket, &byte, 1, MSG_DONTWAIT) == 0)
                    break;
            }
        });
        MainWindow frame(SettingsFor(server.Port()));
        ShowActive(frame);
        auto* search = Find<QPushButton>(frame, "searchButton");
        Find<QLineEdit>(frame, "queryEdit")->setText(QStringLiteral("report"));
        search->click();
        // Rows are shown before the page ends, while the window answers: a menu opens.
        QTRY_COMPARE(frame.ResultPane()->Model()->rowCount(), 3);
        QVERIFY(frame.Requests()->Busy());
        QCOMPARE(search->text(), QStringLiteral("Stop"));
        // A request out shows: a busy bar with its seconds, and the list's busy cursor.
        auto* busy = Find<QWidget>(frame, "busyIndicator");
        QVERIFY(busy->isVisible());
        QCOMPARE(frame.ResultPane()->cursor().shape(), Qt::BusyCursor);
        QMenu* fileMenu = frame.menuBar()->actions().at(0)->menu();
        fileMenu->popup(frame.mapToGlobal(QPoint(10, 10)));
        QTRY_VERIFY(fileMenu->isVisible());
        fileMenu->close();
        // Escape stops it at once; the rows stay.
        QElapsedTimer timer;
        timer.start();
        QTest::keyClick(&frame, Qt::Key_Escape);
        QTRY_VERIFY(!frame.Requests()->Busy());
        QVERIFY(timer.elapsed() < 200);
        QCOMPARE(frame.ResultPane()->Model()->rowCount(), 3);
        QVERIFY(frame.PaneLabel(MainWindow::Pane::Message)
                    ->text()
                    .startsWith(QStringLiteral("Search stopped")));
        QCOMPARE(search->text(), QStringLiteral("Search"));
        // The count says how much of the page is listed.
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Hits)->text(),
                 QStringLiteral("3 of 74 documents"));
        QVERIFY(!busy->isVisible());
        QCOMPARE(frame.ResultPane()->cursor().shape(), Qt::ArrowCursor);

        // Stop keeps the rows the worker has read but the window has not shown yet, and ends a
        // held transfer within 200 ms every time (the cancel flag is looked at often). The event
        // loop does not run between the rows arriving and Stop, so they are still queued.
        for (int round = 0; round < 5; ++round) {
            search->click();
            QVERIFY(frame.Requests()->Busy());
            for (int waited = 0; frame.Requests()->QueuedRows() < 3 && waited < 10000; waited += 5)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            QCOMPARE(frame.Requests()->QueuedRows(), std::size_t{3});
            QCOMPARE(frame.ResultPane()->Model()->rowCount(), 0); // read, not shown yet
            // The transfer waits for more: long enough for libcurl's own early timers to have
            // passed, so that only the cancel poll can end the wait.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            timer.restart();
            frame.Requests()->Stop();
            QTRY_VERIFY(!frame.Requests()->Busy());
            QVERIFY2(timer.elapsed() < 200, qPrintable(QString::number(timer.elapsed())));
            QCOMPARE(frame.ResultPane()->Model()->rowCount(), 3);
        }

        // Closing the window during a transfer ends it at once.
        search->click();
        QTRY_COMPARE(frame.ResultPane()->Model()->rowCount(), 3);
        timer.restart();
        frame.close();
        QVERIFY(!frame.Requests()->Busy());
        QVERIFY(timer.elapsed() < 1000);
        release = true;
    }
};

QTEST_MAIN(SearchFormTest)
#include "SearchFormTest.moc"
