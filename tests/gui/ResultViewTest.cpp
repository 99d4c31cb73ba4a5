// The result list and the status panes in a real main window, offscreen.
#include "gui/ResultView.h"
#include "config/Application.h"
#include "config/SettingsFile.h"
#include "gui/MainWindow.h"
#include "gui/MessageBox.h"
#include "gui/PreviewPane.h"
#include "gui/ResultActions.h"
#include "gui/ResultModel.h"
#include "results/Sort.h"

#include "../support/RawServer.h"

#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QThread>
#include <QToolButton>
#include <QTreeView>

namespace {

Settings SettingsOf(const std::string& ini = "") {
    SettingsFile source = SettingsFile::FromBytes(ini); // with the defaults of the profile store
    return LoadSettings(source, false, Logger());
}

void Feed(MainWindow& frame, const std::vector<std::string>& page) {
    for (const auto& line : page)
        if (!frame.ResultPane()->ParseResultLine(line))
            break;
}

QString Cell(ResultView* view, int row, int column) {
    return view->Model()->index(row, column).data().toString();
}

} // namespace

class ResultViewTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        m_messages.clear();
        SetMessageBoxHook([this](const std::string& text, MessageKind) {
            m_messages.push_back(text);
            return Answer::Ok;
        });
    }
    void cleanup() { SetMessageBoxHook(nullptr); }

    void fillsCellsItemDataTipsAndPanes() {
        MainWindow frame(SettingsOf(""));
        frame.SetUpViews();
        frame.show();
        ResultView* view = frame.ResultPane();
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Message)->text(), QStringLiteral("Ready"));
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Auth)->text(), QStringLiteral("AUTH"));
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Hits)->text(), QStringLiteral("HITS"));

        Feed(frame, {"0|25|1|x|guest",
                     "17|Report|88|Quarterly <b>figures</b>|2006-05-01|PDF|x|y|z|"
                     "C%3A%5Cdocs%5Cq%202.pdf|Research Unit|123456|figures Quarterly",
                     "4|Gr\xFC\xDF"
                     "e|12|||||||%2Fhome%2Fa%84.txt",
                     "-3|Index not available", "|stop", "5|never read"});
        view->Model()->FlushPendingRows();

        QTreeView* details = view->DetailsView();
        QCOMPARE(details->header()->count(), 8);
        QCOMPARE(view->Model()->headerData(2, Qt::Horizontal).toString(),
                 QStringLiteral("Filename"));
        QCOMPARE(details->header()->sectionSize(1), 40);
        QCOMPARE(view->Model()->rowCount(), 2);
        QCOMPARE(Cell(view, 0, 0), QStringLiteral("Report"));
        QCOMPARE(Cell(view, 0, 2), QStringLiteral("q 2.pdf"));
        QCOMPARE(Cell(view, 0, 6), QStringLiteral("C:\\docs\\q 2.pdf"));
        QCOMPARE(Cell(view, 0, 7), QStringLiteral("Research Unit"));
        QCOMPARE(Cell(view, 1, 0), QString::fromUtf8("Gr\xC3\xBC\xC3\x9F"
                                                     "e"));
        QCOMPARE(Cell(view, 1, 6), QString::fromUtf8("/home/a\xC3\xA4.txt"));
        QCOMPARE(view->Model()->index(1, 3).data(ResultModel::ItemDataRole).toInt(), 4);

        const QString tip = view->Model()->index(0, 4).data(Qt::ToolTipRole).toString();
        QVERIFY2(
            tip.contains(QStringLiteral("<b>Quarterly</b> &lt;b&gt;<b>figures</b>&lt;/b&gt;\n"
                                        "2006-05-01\nPDF\nx\n123456 bytes\nC:\\docs\\q 2.pdf")),
            qPrintable(tip));
        // The description cell knows where the matched words are; other cells do not.
        QCOMPARE(view->Model()->index(0, 3).data(ResultModel::MatchSpansRole).toList(),
                 (QVariantList{QPoint(0, 9), QPoint(13, 7)}));
        QVERIFY(view->Model()->index(0, 0).data(ResultModel::MatchSpansRole).isNull());
        QVERIFY(view->Model()->index(1, 3).data(ResultModel::MatchSpansRole).toList().isEmpty());

        QCOMPARE(m_messages, std::vector<std::string>{"Index not available"});
        // The stop line set the count last.
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Hits)->text(),
                 QStringLiteral("0 documents found"));
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Auth)->text(), QStringLiteral("guest"));
        QCOMPARE(frame.SignedInUser(), std::string("guest"));

        Feed(frame, {"0|25|0|x|guest"});
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Hits)->text(),
                 QStringLiteral("25 documents found"));
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Auth)->text(), QString());
        QCOMPARE(frame.SignedInUser(), std::string());

        frame.SetStatusText("Sending request");
        QCOMPARE(frame.PaneLabel(MainWindow::Pane::Message)->text(),
                 QStringLiteral("Sending request"));
    }

    void previewShowsTheHitsTextWithItsWordsMarked() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("notes.txt"));
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("Budgets first.\fThen other words.\fThe budget at last."); // 3 pages
        }
        // A service that never answers: the hit linking to it keeps its load waiting.
        RawServer silent([](int, const std::string&, RawServer& self) {
            while (!self.Stopping())
                QThread::msleep(10);
        });
        MainWindow frame(SettingsOf(
            "[Settings]\nAddress=127.0.0.1\nPort=" + std::to_string(silent.Port()) + "\n"));
        frame.SetUpViews();
        frame.Action(Command::Preview)->setChecked(true);
        Feed(frame, {"0|2|0||", "1|Notes|90|d||||||" + path.toStdString() + "||9|Budgets budget",
                     "2|Far|80|d||||||http%3A//127.0.0.1/zdx-files/a/b.pdf||9|"});
        frame.ResultPane()->Model()->FlushPendingRows();
        PreviewPane* preview = frame.Preview();
        QSignalSpy loaded(preview, &PreviewPane::loaded);
        QTreeView* list = frame.ResultPane()->DetailsView();
        list->setCurrentIndex(list->model()->index(1, 0)); // the silent service's hit
        QTRY_VERIFY(preview->Loading());
        list->setCurrentIndex(list->model()->index(0, 0)); // cancels it
        QVERIFY(loaded.wait(5000));
        QCOMPARE(preview->LoadsCancelled(), 1);
        QCOMPARE(preview->MatchLabel(), QStringLiteral("Match 1 of 2 · Page 1"));
        // The two matches, then the three pages' "Page N" lines.
        const auto marks = preview->TextView()->extraSelections();
        QCOMPARE(marks.size(), 5);
        QCOMPARE(marks[1].cursor.selectedText(), QStringLiteral("budget"));
        QCOMPARE(marks[4].cursor.block().text(), QStringLiteral("Page 3"));
        frame.Action(Command::NextMatch)->trigger();
        QCOMPARE(preview->MatchLabel(), QStringLiteral("Match 2 of 2 · Page 3"));
        std::vector<QUrl> opened;
        SetLaunchHook([&](const QUrl& url) { return opened.push_back(url), true; });
        preview->OpenPageButton()->click();
        SetLaunchHook({});
        QUrl atPage = QUrl::fromLocalFile(path);
        atPage.setFragment(QStringLiteral("page=3"));
        QCOMPARE(opened, std::vector<QUrl>{atPage});
        // Selections in quick succession: one load at a time, the latest waiting, no queue.
        for (int i = 0; i < 200; ++i)
            list->setCurrentIndex(list->model()->index(1 - i % 2, 0));
        QVERIFY(preview->LoadsStarted() <= 3);
        QTRY_VERIFY_WITH_TIMEOUT(!preview->Loading(), 5000);
    }

    void columnsFromTheSettingsAndOnlyOnce() {
        MainWindow frame(
            SettingsOf("[List]\nColumns=3\nColumn0=6\nColumn1=0\nColumn2=42\nHeadingWidth0=-5\n"
                       "HeadingWidth1=77\nHeading1=Name\n"));
        frame.SetUpViews();
        frame.SetUpViews(); // as a new document in the same window
        ResultView* view = frame.ResultPane();
        QCOMPARE(view->Model()->columnCount(), 3);
        QCOMPARE(view->DetailsView()->header()->count(), 3);
        QCOMPARE(view->Model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Name"));
        QCOMPARE(view->DetailsView()->header()->sectionSize(1), 77);
        QCOMPARE(view->DetailsView()->header()->sectionSize(0), 0);
        QVERIFY(frame.ResultPane()->SortForward());

        Feed(frame, {"3|T||||||||/x/y.txt"});
        view->Model()->FlushPendingRows();
        QCOMPARE(Cell(view, 0, 0), QStringLiteral("/x/y.txt"));
        QCOMPARE(Cell(view, 0, 1), QStringLiteral("T"));
        QCOMPARE(Cell(view, 0, 2), QString()); // field 42 does not exist
    }

    void headingClicksSortAndKeepTheSelection() {
        MainWindow frame(SettingsOf(""));
        frame.SetUpViews();
        frame.resize(900, 400);
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        ResultView* view = frame.ResultPane();
        Feed(frame, {"1|b.|12", "2|a.|9", "3|c.|100"});
        view->Model()->FlushPendingRows();
        view->DetailsView()->selectionModel()->select(
            view->Model()->index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);

        QHeaderView* header = view->DetailsView()->header();
        auto click = [&](int column) {
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                              QPoint(header->sectionViewportPosition(column) + 5, 5));
        };
        click(1); // numbers, smallest first
        QCOMPARE(Cell(view, 0, 1), QStringLiteral("9"));
        QCOMPARE(Cell(view, 2, 1), QStringLiteral("100"));
        QCOMPARE(frame.ResultPane()->SortColumn(), 1);
        click(0); // words, the direction flipped again: A before Z
        QCOMPARE(Cell(view, 0, 0), QStringLiteral("a."));
        QCOMPARE(Cell(view, 2, 0), QStringLiteral("c."));
        const QModelIndexList selected = view->DetailsView()->selectionModel()->selectedRows();
        QCOMPARE(selected.size(), 1);
        QCOMPARE(selected[0].data(ResultModel::ItemDataRole).toInt(), 1);
    }

    void iconAndListStylesShowWholeTitles() {
        // The only column shows the link; the icon and list styles still show the titles.
        for (const char* ini : {"[List]\nColumns=1\nColumn0=6\n", "[List]\nColumns=0\n"}) {
            MainWindow frame(SettingsOf(ini));
            frame.SetUpViews();
            frame.resize(900, 500);
            frame.show();
            QVERIFY(QTest::qWaitForWindowExposed(&frame));
            const std::string title = "A rather long title that one item's width would cut";
            Feed(frame, {"1|" + title + "|9||||||||/docs/a.txt", "2|Short|8||||||||/docs/b.txt",
                         "3|" + std::string(60, 'w') + " " + std::string(200, 'x') +
                             "|7||||||||/docs/c.txt"});
            ResultView* view = frame.ResultPane();
            view->Model()->FlushPendingRows();
            for (ListStyle style : {ListStyle::List, ListStyle::LargeIcons, ListStyle::SmallIcons,
                                    ListStyle::List, ListStyle::LargeIcons}) {
                view->SetListStyle(style);
                QCOMPARE(Cell(view, 0, 0), QString::fromStdString(title));
                QListView* icons = view->IconView();
                icons->doItemsLayout();
                const QRect first = icons->visualRect(view->Model()->index(0, 0));
                const QRect second = icons->visualRect(view->Model()->index(1, 0));
                const int textWidth = icons->fontMetrics().horizontalAdvance(Cell(view, 0, 0));
                if (style == ListStyle::LargeIcons) {
                    // Wrapped under the icon, and the grid flows left to right.
                    QVERIFY(first.height() >= 2 * icons->fontMetrics().height() + 32);
                    QCOMPARE(second.top(), first.top());
                    QVERIFY(second.left() > first.left());
                    // A title too long for three lines is cut there, with "…", not run on.
                    const QRect third = icons->visualRect(view->Model()->index(2, 0));
                    QVERIFY2(third.height() <= 32 + 3 * icons->fontMetrics().lineSpacing() + 16,
                             qPrintable(QString::number(third.height())));
                    QVERIFY(view->Model()
                                ->index(2, 0)
                                .data(Qt::ToolTipRole)
                                .toString()
                                .contains(QString(60, QLatin1Char('w')) + QLatin1Char(' ') +
                                          QString(150, QLatin1Char('x'))));
                } else {
                    QVERIFY2(first.width() >= textWidth,
                             qPrintable(QString::number(first.width())));
                }
            }
            // Refining matches what the style shows: the title in List, only the columns in
            // Details (where no column shows the title).
            view->SetListStyle(ListStyle::List);
            view->FilterField()->setText(QStringLiteral("RATHER"));
            QCOMPARE(view->Model()->rowCount(), 1);
            view->SetListStyle(ListStyle::Details);
            QCOMPARE(view->Model()->rowCount(), 0);
            view->FilterField()->clear();
            QCOMPARE(view->Model()->columnCount(), frame.CurrentSettings().columns);
        }
    }

    void manyRowsArriveInBatches() {
        MainWindow frame(SettingsOf(""));
        frame.SetUpViews();
        ResultView* view = frame.ResultPane();
        int inserts = 0;
        connect(view->Model(), &QAbstractItemModel::rowsInserted, this, [&] { ++inserts; });
        for (int i = 1; i <= 20000; ++i)
            view->ParseResultLine(std::to_string(i) + "|title " + std::to_string(i));
        QCoreApplication::processEvents(); // the rest arrive when the event loop runs
        QCOMPARE(view->Model()->rowCount(), 20000);
        QVERIFY2(inserts <= 10, qPrintable(QString::number(inserts)));
        view->Clear();
        QCOMPARE(view->Model()->rowCount(), 0);
    }

private:
    std::vector<std::string> m_messages;
};

QTEST_MAIN(ResultViewTest)
#include "ResultViewTest.moc"
