// The password field with real key events, the login and logout against a server that keeps
// the session in a cookie, and the settings dialog.
#include "config/Application.h"
#include "config/SettingsFile.h"
#include "diag/ActivityLog.h"
#include "gui/LoginDialog.h"
#include "gui/MainWindow.h"
#include "gui/MessageBox.h"
#include "gui/PasswordField.h"
#include "gui/RequestRunner.h"
#include "gui/ResultModel.h"
#include "gui/ResultView.h"
#include "gui/SearchForm.h"
#include "gui/SettingsDialog.h"
#include "search/QueryText.h"
#include "text/StringTable.h"

#include "../support/RawServer.h"
#include "../support/SessionServer.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDateTime>
#include <QFileInfo>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <poll.h>
#include <sys/socket.h>

namespace {

std::string Clear(const PasswordField& edit) {
    char* text = edit.GetClearText();
    std::string copy = text;
    PasswordField::WipeClearText(text);
    return copy;
}

bool OnlyStars(const QLineEdit& edit) {
    for (QChar c : edit.text())
        if (c != QLatin1Char('*'))
            return false;
    return true;
}

} // namespace

class SignInTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_profile;
    QTemporaryDir m_logDir;
    std::vector<std::string> m_messages;
    Answer m_answer = Answer::Ok;

    QSettings Store() const {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Norvane"),
                         QStringLiteral("ZDX"));
    }
    // Types into the field, checking after every key that the field holds only asterisks.
    void Type(PasswordField& edit, const QString& text) {
        for (QChar c : text) {
            QTest::keyClicks(&edit, QString(c));
            QVERIFY2(OnlyStars(edit), qPrintable(edit.text()));
        }
    }
    void Key(PasswordField& edit, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(&edit, key, modifiers);
        QVERIFY(OnlyStars(edit));
        QVERIFY(!edit.hasSelectedText());
    }
    // The settings of a client of `server`.
    static Settings Configure(const SessionServer& server, int secure = 0) {
        Settings settings = DefaultSettings(false);
        settings.connection.address = "127.0.0.1";
        settings.connection.port = server.Port();
        settings.connection.secure = secure;
        return settings;
    }

private slots:
    void initTestCase() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_profile.path());
    }
    void init() {
        Store().clear();
        m_messages.clear();
        m_answer = Answer::Ok;
        SetMessageBoxHook([this](const std::string& text, MessageKind) {
            m_messages.push_back(text);
            return m_answer;
        });
    }
    void cleanup() { SetMessageBoxHook(nullptr); }

    void passwordFieldKeepsTheTextInItsCells() {
        QWidget window;
        auto* edit = new PasswordField(99, &window);
        auto* other = new QLineEdit(&window);
        window.show();
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        edit->setFocus();

        Type(*edit, QStringLiteral("abc"));
        QCOMPARE(edit->text(), QStringLiteral("***"));
        // A screen reader hears the length, never the content.
        QCOMPARE(edit->accessibleDescription(), QStringLiteral("3 characters"));
        QCOMPARE(Clear(*edit), std::string("abc"));
        Key(*edit, Qt::Key_Home);
        Type(*edit, QStringLiteral("x"));
        QCOMPARE(Clear(*edit), std::string("xabc"));
        Key(*edit, Qt::Key_End);
        Key(*edit, Qt::Key_Backspace);
        QCOMPARE(Clear(*edit), std::string("xab"));
        Key(*edit, Qt::Key_Home);
        Key(*edit, Qt::Key_Delete);
        QCOMPARE(Clear(*edit), std::string("ab"));

        // Shift+Left selects nothing: the caret moves left; Shift+Right leaves it.
        Key(*edit, Qt::Key_End);
        Key(*edit, Qt::Key_Left, Qt::ShiftModifier);
        QCOMPARE(edit->cursorPosition(), 1);
        Key(*edit, Qt::Key_Right, Qt::ShiftModifier);
        QCOMPARE(edit->cursorPosition(), 1);
        QTest::mouseDClick(edit, Qt::LeftButton, {}, QPoint(5, edit->height() / 2));
        QVERIFY(!edit->hasSelectedText());

        // Paste at the caret.
        QApplication::clipboard()->setText(QStringLiteral("PQ"));
        edit->setCursorPosition(1);
        Key(*edit, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(Clear(*edit), std::string("aPQb"));

        // Nothing comes back through undo.
        Key(*edit, Qt::Key_Z, Qt::ControlModifier);
        edit->undo();
        QVERIFY(!edit->isUndoAvailable());
        QCOMPARE(Clear(*edit), std::string("aPQb"));
        QVERIFY(OnlyStars(*edit));

        // A character Windows-1252 cannot hold is refused; one it can is kept as its byte.
        QKeyEvent omega(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier,
                        QString::fromUtf8("\xCE\xA9"));
        QCoreApplication::sendEvent(edit, &omega);
        QCOMPARE(Clear(*edit), std::string("aPQb"));
        edit->setCursorPosition(4);
        QInputMethodEvent commit;
        commit.setCommitString(QString::fromUtf8("\xC3\xA9"));
        QCoreApplication::sendEvent(edit, &commit);
        QCOMPARE(Clear(*edit), std::string("aPQb\xE9"));
        QVERIFY(OnlyStars(*edit));

        // A drop goes into the cells at the drop point.
        QMimeData dropped;
        dropped.setText(QStringLiteral("dz"));
        QDragEnterEvent enter(QPoint(1, edit->height() / 2), Qt::CopyAction, &dropped,
                              Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(edit, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(1, edit->height() / 2.0), Qt::CopyAction, &dropped, Qt::LeftButton,
                        Qt::NoModifier);
        QCoreApplication::sendEvent(edit, &drop);
        QVERIFY2(Clear(*edit) == std::string("dzaPQb\xE9"), Clear(*edit).c_str());

        // Text set by the program is taken into the cells as well.
        edit->ClearAll();
        edit->setText(QStringLiteral("hello"));
        QVERIFY(OnlyStars(*edit));
        QCOMPARE(Clear(*edit), std::string("hello"));

        // Shift+Home discards the whole password; so does Shift+End.
        Key(*edit, Qt::Key_Home, Qt::ShiftModifier);
        QCOMPARE(Clear(*edit), std::string());
        QCOMPARE(edit->text(), QString());
        Type(*edit, QStringLiteral("zz"));
        Key(*edit, Qt::Key_End, Qt::ShiftModifier);
        QCOMPARE(edit->Length(), 0u);

        // Tabbing in leaves the caret at the start with nothing selected.
        Type(*edit, QStringLiteral("abc"));
        other->setFocus();
        QTest::keyClick(other, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), edit);
        QVERIFY(!edit->hasSelectedText());
        QCOMPARE(edit->cursorPosition(), 0);
    }

    void loginDialogStartsWhereTheUserNeedsIt() {
        SessionServer server;
        Settings settings = Configure(server, 0);
        {
            LoginDialog dialog(settings, nullptr);
            QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("securityNote"))->text(),
                     QStringLiteral("Login is not secure!"));
            dialog.show();
            QVERIFY(QTest::qWaitForWindowActive(&dialog));
            QCOMPARE(QApplication::focusWidget(),
                     dialog.findChild<QLineEdit*>(QStringLiteral("userEdit")));
        }
        Store().setValue("Settings/User", "bob");
        settings.connection.secure = 2; // any value but 0
        LoginDialog dialog(settings, nullptr);
        QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("securityNote"))->text(), QString());
        QCOMPARE(dialog.findChild<QLineEdit*>(QStringLiteral("userEdit"))->text(),
                 QStringLiteral("bob"));
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QCOMPARE(QApplication::focusWidget(), dialog.Password());
    }

    void loginSearchAndLogout() {
        SessionServer server;
        const std::string logFile = m_logDir.filePath(QStringLiteral("zdx.log")).toStdString();
        ProcessLog() = Logger(logFile);
        ActivityLog::Reset();
        MainWindow frame(Configure(server));
        frame.SetUpViews();
        frame.show();
        {
            LoginDialog dialog(frame);
            dialog.show();
            QVERIFY(QTest::qWaitForWindowActive(&dialog));
            QTest::keyClicks(dialog.findChild<QLineEdit*>(QStringLiteral("userEdit")),
                             QStringLiteral("bob"));
            dialog.Password()->setFocus();
            Type(*dialog.Password(), QStringLiteral("s3cret"));
            QTest::mouseClick(dialog.findChild<QPushButton*>(QStringLiteral("okButton")),
                              Qt::LeftButton);
            QCOMPARE(dialog.result(), static_cast<int>(QDialog::Accepted));
        }
        QVERIFY(m_messages.empty());
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Auth)->text(), QStringLiteral("bob"));
        // The sign-in's page counts no search: the HITS pane is left as it was.
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Hits)->text(), QStringLiteral("HITS"));
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Message)->text(),
                 QStringLiteral("Status Code 200 was returned."));
        QCOMPARE(Store().value("Settings/User").toString(), QStringLiteral("bob"));
        QCOMPARE(frame.SignedInUser(), std::string("bob"));

        // The session cookie goes with the next search.
        frame.FormPane()
            ->findChild<QLineEdit*>(QStringLiteral("queryEdit"))
            ->setText(QStringLiteral("report"));
        frame.FormPane()->findChild<QPushButton*>(QStringLiteral("searchButton"))->click();
        frame.Requests()->Wait();
        QCOMPARE(frame.ResultPane()->Model()->index(0, 0).data().toString(),
                 QStringLiteral("Hit for bob"));

        m_answer = Answer::Cancel;
        const std::size_t before = server.Paths().size();
        frame.Action(Command::LogOut)->trigger();
        QCOMPARE(m_messages.back(), std::string("Log out?"));
        QCOMPARE(server.Paths().size(), before); // nothing sent
        QCOMPARE(frame.SignedInUser(), std::string("bob"));

        m_answer = Answer::Ok;
        frame.Action(Command::LogOut)->trigger();
        QCOMPARE(server.Paths().back().substr(server.Paths().back().size() - 7),
                 std::string("&logout"));
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Auth)->text(), QString());
        QCOMPARE(frame.SignedInUser(), std::string());

        // The password went out, but it is nowhere in the log.
        ActivityLog::Reset();
        QFile log(QString::fromStdString(logFile));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QVERIFY(text.contains("&userid=bob&password=\n"));
        QVERIFY(!text.contains("s3cret"));
        QVERIFY(server.Paths().at(0).find("&userid=bob&password=s3cret") != std::string::npos);
        ProcessLog() = Logger();
    }

    // A sign-in the service never received says why in the message bar, not "Login failed!"
    // (which is for a refused password).
    void signInToAClosedPortSaysWhy() {
        const int closed = ClosedPort();
        Settings settings = DefaultSettings(false);
        settings.connection.address = "127.0.0.1";
        settings.connection.port = closed;
        MainWindow frame(settings);
        frame.SetUpViews();
        QTimer::singleShot(0, [] {
            auto* dialog = qobject_cast<LoginDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->findChild<QLineEdit*>(QStringLiteral("userEdit"))
                ->setText(QStringLiteral("bob"));
            dialog->OnOK();
        });
        frame.Action(Command::LogIn)->trigger();
        QVERIFY(m_messages.empty());
        QCOMPARE(frame.ResultPane()->findChild<QLabel*>(QStringLiteral("messageBarText"))->text(),
                 QStringLiteral("Cannot reach the search service at 127.0.0.1:%1: the connection "
                                "was refused (12029). Is the service running?")
                     .arg(closed));
    }

    // A logout stopped before the service answers changes nothing and says no status number.
    void stoppedLogoutLeavesTheUserSignedIn() {
        RawServer held([](int socket, const std::string&, RawServer& self) {
            for (char byte; !self.Stopping();) { // until the client hangs up
                pollfd p{socket, POLLIN, 0};
                if (poll(&p, 1, 10) > 0 && recv(socket, &byte, 1, MSG_DONTWAIT) == 0)
                    break;
            }
        });
        Settings settings = DefaultSettings(false);
        settings.connection.address = "127.0.0.1";
        settings.connection.port = held.Port();
        MainWindow frame(settings);
        frame.SetUpViews();
        frame.SetSignedInUser("bob");
        QTimer::singleShot(300, &frame, [&frame] { frame.OnStop(); });
        frame.Action(Command::LogOut)->trigger();
        QCOMPARE(held.Connections(), 1);
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Auth)->text(), QStringLiteral("bob"));
        // The sign-in's page counts no search: the HITS pane is left as it was.
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Hits)->text(), QStringLiteral("HITS"));
        QVERIFY2(!frame.PaneLabel(MainWindow::Pane::Message)
                      ->text()
                      .startsWith(QStringLiteral("Status")),
                 qPrintable(frame.PaneLabel(MainWindow::Pane::Message)->text()));
    }

    void loginThatTheServerDoesNotConfirm() {
        SessionServer server;
        Store().setValue("Settings/User", "earlier");
        MainWindow frame(Configure(server));
        server.ReportAs("Bob"); // signed in, but under another spelling
        LoginDialog dialog(frame);
        dialog.findChild<QLineEdit*>(QStringLiteral("userEdit"))->setText(QStringLiteral("bob"));
        dialog.Password()->setFocus();
        Type(*dialog.Password(), QStringLiteral("s3cret"));
        dialog.OnOK();
        QCOMPARE(m_messages, std::vector<std::string>{"Login failed!"});
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Auth)->text(), QStringLiteral("Bob"));
        QCOMPARE(Store().value("Settings/User").toString(), QStringLiteral("earlier"));

        // A wrong password, and a name with letters beyond ASCII.
        m_messages.clear();
        server.ReportAs("");
        LoginDialog wrong(frame);
        wrong.findChild<QLineEdit*>(QStringLiteral("userEdit"))->setText(QStringLiteral("bob"));
        wrong.OnOK();
        QCOMPARE(m_messages, std::vector<std::string>{"Login failed!"});
        m_messages.clear();
        LoginDialog accented(frame);
        accented.findChild<QLineEdit*>(QStringLiteral("userEdit"))
            ->setText(QString::fromUtf8("j\xC3\xBCrgen"));
        accented.Password()->setFocus();
        Type(*accented.Password(), QStringLiteral("p w"));
        accented.OnOK();
        QVERIFY(m_messages.empty());
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Auth)->text(),
                 QString::fromUtf8("j\xC3\xBCrgen"));
    }

    void settingsDialog() {
        {
            SettingsDialog dialog;
            QCOMPARE(dialog.findChild<QLineEdit*>(QStringLiteral("addressEdit"))->text(),
                     QStringLiteral("localhost"));
            QCOMPARE(dialog.findChild<QLineEdit*>(QStringLiteral("portEdit"))->text(),
                     QStringLiteral("80"));
            QCOMPARE(dialog.findChild<QLineEdit*>(QStringLiteral("searchbaseEdit"))
                         ->text()
                         .toStdString(),
                     DefaultSearchbase(false));
            for (const char* box :
                 {"secureCheck", "ignoreCnCheck", "ignoreCaCheck", "ignoreRevocationCheck"})
                QVERIFY(!dialog.findChild<QCheckBox*>(QString::fromLatin1(box))->isChecked());
        }
        for (const char* bad : {"80a", "", "99999999999", "8 0"}) {
            m_messages.clear();
            SettingsDialog dialog;
            dialog.findChild<QLineEdit*>(QStringLiteral("portEdit"))
                ->setText(QString::fromLatin1(bad));
            dialog.OnOK();
            QCOMPARE(m_messages, std::vector<std::string>{"Please enter an integer."});
            QVERIFY(dialog.result() != QDialog::Accepted);
            QVERIFY(!Store().contains("Settings/Port"));
        }
        {
            SettingsDialog dialog;
            dialog.findChild<QLineEdit*>(QStringLiteral("portEdit"))
                ->setText(QStringLiteral("8080"));
            dialog.reject(); // Cancel
            QVERIFY(!Store().contains("Settings/Port"));
        }
        SettingsDialog dialog;
        dialog.findChild<QLineEdit*>(QStringLiteral("portEdit"))
            ->setText(QStringLiteral(" +8080 "));
        dialog.findChild<QCheckBox*>(QStringLiteral("ignoreCaCheck"))->setChecked(true);
        dialog.findChild<QComboBox*>(QStringLiteral("charsetCombo"))->setCurrentIndex(1);
        dialog.OnOK();
        QCOMPARE(dialog.result(), static_cast<int>(QDialog::Accepted));
        QCOMPARE(dialog.Connection().port, 8080);
        QCOMPARE(dialog.Connection().address, std::string("localhost"));
        QCOMPARE(dialog.Connection().ignoreUnknownCa, 1);
        QCOMPARE(Store().value("Settings/Port").toInt(), 8080);
        QCOMPARE(Store().value("Settings/IgnoreUnknownCa").toInt(), 1);
        QCOMPARE(Store().value("Settings/Charset").toString(), QStringLiteral("utf-8"));
        QCOMPARE(Store().value("Settings/Address").toString(), QStringLiteral("localhost"));
    }

    void settingsFileIsNeverWritten() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("zdx.ini"));
        const QByteArray bytes = "[Settings]\nAddress=files.example\nPort=81\n";
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(bytes);
        }
        const QDateTime written = QFileInfo(path).lastModified();
        SettingsFile source(path.toStdString());
        {
            // A session that changes the settings and the placement, then closes.
            MainWindow frame(LoadSettings(source, true, Logger()));
            frame.SetSettingsFile(path.toStdString());
            frame.SetUpViews();
            frame.show();
            // File > Settings shows the settings in use, says where they come from, and OK
            // with nothing changed changes nothing in effect.
            QString shown, note;
            QTimer::singleShot(0, [&] {
                auto* dialog = qobject_cast<SettingsDialog*>(QApplication::activeModalWidget());
                QVERIFY(dialog);
                shown = dialog->findChild<QLineEdit*>(QStringLiteral("addressEdit"))->text() + ":" +
                        dialog->findChild<QLineEdit*>(QStringLiteral("portEdit"))->text();
                note = dialog->findChild<QLabel*>(QStringLiteral("settingsSource"))->text();
                dialog->OnOK();
            });
            frame.Action(Command::Settings)->trigger();
            QCOMPARE(shown, QStringLiteral("files.example:81"));
            QCOMPARE(note, QStringLiteral("These settings come from ") + path +
                               QStringLiteral("; OK saves them to your profile."));
            QCOMPARE(frame.CurrentSettings().connection.address, std::string("files.example"));
            QCOMPARE(frame.CurrentSettings().connection.port, 81);
            SettingsDialog dialog(&frame);
            dialog.findChild<QLineEdit*>(QStringLiteral("portEdit"))->setText(QStringLiteral("82"));
            dialog.OnOK();
            frame.move(frame.pos() + QPoint(7, 7));
            frame.close();
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), bytes);
        QCOMPARE(QFileInfo(path).lastModified(), written);
        QCOMPARE(Store().value("Settings/Port").toInt(), 82); // the profile store got it
    }
};

QTEST_MAIN(SignInTest)
#include "SignInTest.moc"
