#include "gui/SearchForm.h"

#include "config/SearchHistory.h"

#include "gui/Images.h"
#include "gui/MessageBox.h"
#include "profile/ProfileStore.h"
#include "text/StringTable.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QCompleter>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QStringListModel>
#include <QVBoxLayout>

namespace {
QString Res(unsigned id) {
    return QString::fromStdString(Text(id));
}
// The fields never get narrower than this; wider panes widen them.
constexpr int kFieldWidth = 140;
} // namespace

namespace {

// The form and every control on it are white, and their texts dark whatever the theme: a dark
// palette's light text would be all but invisible on white.
QPalette WhiteForm(QPalette white) {
    for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button, QPalette::AlternateBase})
        white.setColor(role, Qt::white);
    const QColor ink(0x1f, 0x1f, 0x1f);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        white.setColor(role, ink);
    white.setColor(QPalette::PlaceholderText, QColor(0x70, 0x70, 0x70));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        white.setColor(QPalette::Disabled, role, QColor(0x90, 0x90, 0x90));
    return white;
}

} // namespace

// The searches made lately, newest first, their queries offered while typing. They moved from
// the profile store to the state folder: the old queries are taken over once.
void SearchForm::LoadHistory() {
    m_historyPath = RecentSearches::DefaultPath();
    if (!m_history.Load(m_historyPath)) {
        ProfileStore store;
        SearchHistory old;
        old.Load(store);
        for (auto it = old.Queries().rbegin(); it != old.Queries().rend(); ++it) {
            SearchRequest search;
            search.query = *it;
            m_history.Add(search);
        }
        if (m_history.Save(m_historyPath)) {
            old.Clear();
            old.Save(store);
        }
    }
}

SearchForm::SearchForm(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("leftView"));
    setPalette(WhiteForm(palette()));
    setAutoFillBackground(true);

    auto* contentLabel = new QLabel(tr("Content Search for"), this);
    m_query = new QLineEdit(this);
    m_query->setObjectName(QStringLiteral("queryEdit"));
    contentLabel->setBuddy(m_query);
    LoadHistory();
    m_historyModel = new QStringListModel(this);
    m_completer = new QCompleter(m_historyModel, this);
    m_completer->setCaseSensitivity(Qt::CaseInsensitive);
    m_completer->setCompletionMode(QCompleter::PopupCompletion);
    m_completer->setModelSorting(QCompleter::UnsortedModel);
    m_completer->setMaxVisibleItems(static_cast<int>(RecentSearches::kSize));
    m_query->setCompleter(m_completer);
    // A search picked from the history brings back its indexes, date and file-name filter.
    connect(m_completer, qOverload<const QString&>(&QCompleter::activated), this,
            [this](const QString& query) {
                if (const SearchRequest* search = m_history.Find(query.toStdString()))
                    WriteForm(*search);
            });
    // Installed after the completer's own filter, so it sees the popup's events first: a click
    // on Search and Ctrl+Enter search at once instead of only closing the popup.
    m_completer->popup()->installEventFilter(this);
    RememberSearch({});
    auto* filenameLabel = new QLabel(tr("Filename search"), this);
    m_filename = new QLineEdit(this);
    m_filename->setObjectName(QStringLiteral("filenameEdit"));
    filenameLabel->setBuddy(m_filename);
    for (int i = 0; i < kIndexBoxes; ++i) {
        m_index[i] = new QCheckBox(this);
        m_index[i]->setObjectName(QStringLiteral("index%1").arg(i));
        m_index[i]->setLayoutDirection(Qt::RightToLeft); // the text stands left of the box
        m_index[i]->setEnabled(false);
    }
    m_date = new QComboBox(this);
    m_date->setAccessibleName(tr("Date range"));
    m_date->setObjectName(QStringLiteral("dateCombo"));
    m_date->setEditable(true);
    m_date->setInsertPolicy(QComboBox::NoInsert);
    // As narrow as the other fields may get; the list opens as wide as its entries.
    m_date->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_date->setMinimumContentsLength(8);
    // Nothing chosen sends no date; the grey text says so.
    m_date->lineEdit()->setPlaceholderText(tr("any date"));
    m_search = new QPushButton(tr("Search"), this);
    m_search->setObjectName(QStringLiteral("searchButton"));
    m_search->setAutoDefault(false);
    m_logo = new QLabel(this);
    m_logo->setObjectName(QStringLiteral("logo"));
    m_logo->setPixmap(LogoPixmap());
    // The logo's blank right edge may go in a narrow pane; it never widens the form.
    m_logo->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);

    for (QWidget* field : {static_cast<QWidget*>(m_query), static_cast<QWidget*>(m_filename),
                           static_cast<QWidget*>(m_date)})
        field->setMinimumWidth(kFieldWidth);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(4);
    layout->addWidget(contentLabel);
    layout->addWidget(m_query);
    layout->addSpacing(6);
    layout->addWidget(filenameLabel);
    layout->addWidget(m_filename);
    layout->addSpacing(6);
    // Box 4 stands in the fourth row and box 3 in the fifth; each belongs to the index setting
    // of its own number.
    for (int i : {0, 1, 2, 4, 3}) {
        // As wide as the fields, the box lined up with their right edge.
        m_index[i]->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        layout->addWidget(m_index[i]);
    }
    layout->addSpacing(6);
    layout->addWidget(m_date);
    layout->addSpacing(6);
    layout->addWidget(m_search, 0, Qt::AlignLeft);
    layout->addStretch(1);
    layout->addWidget(m_logo, 0, Qt::AlignLeft);

    m_tabStops = {m_query, m_filename, m_search};
    for (QCheckBox* box : m_index)
        m_tabStops.push_back(box);
    m_tabStops.push_back(m_date);
    for (int i = 0; i + 1 < m_tabStops.size(); ++i)
        setTabOrder(m_tabStops[i], m_tabStops[i + 1]);
    for (QWidget* w : m_tabStops)
        w->installEventFilter(this);
    if (m_date->lineEdit())
        m_date->lineEdit()->installEventFilter(this);

    connect(m_search, &QPushButton::clicked, this, &SearchForm::searchPressed);
}

void SearchForm::SetUp(const Settings& settings) {
    for (int i = 0; i < kIndexBoxes; ++i) {
        const std::string& value = settings.index[i];
        if (value.empty())
            continue;
        const std::string& name = settings.indexName[i];
        m_index[i]->setText(QString::fromStdString(name.empty() ? value : name));
        m_index[i]->setEnabled(true);
    }
    // Filled once: a new document in the same window adds no second set of entries.
    if (m_datesFilled)
        return;
    m_datesFilled = true;
    for (const DateRange& range : kDateRanges)
        m_date->addItem(Res(range.stringId), range.seconds);
    m_date->setCurrentIndex(-1);
}

int SearchForm::DateIndex() const {
    const QString typed = m_date->currentText().trimmed();
    if (typed.isEmpty())
        return -1;
    // A typed entry counts like a picked one, in any case.
    return m_date->findText(typed, Qt::MatchFixedString);
}

std::string SearchForm::DateProblem() const {
    const QString typed = m_date->currentText().trimmed();
    if (typed.isEmpty() || DateIndex() >= 0)
        return {};
    QStringList ranges;
    for (int i = 0; i < m_date->count(); ++i)
        ranges << m_date->itemText(i);
    return "\"" + typed.toStdString() + "\" is not a date range. Please pick one of " +
           ranges.join(QStringLiteral(", ")).toStdString() + ", or leave the box empty.";
}

SearchRequest SearchForm::ReadForm() const {
    SearchRequest form;
    // A picked (or typed) entry; an empty box searches all dates.
    const int date = DateIndex();
    if (date >= 0)
        form.dateSeconds = m_date->itemData(date).toInt();
    form.query = m_query->text().toStdString();
    form.filename = m_filename->text().toStdString();
    for (int i = 0; i < kIndexBoxes; ++i)
        form.ticked[i] = m_index[i]->isChecked();
    return form;
}

void SearchForm::WriteForm(const SearchRequest& form) {
    m_query->setText(QString::fromStdString(form.query));
    m_filename->setText(QString::fromStdString(form.filename));
    for (int i = 0; i < kIndexBoxes; ++i)
        m_index[i]->setChecked(form.ticked[i] && m_index[i]->isEnabled());
    m_date->setCurrentIndex(form.dateSeconds == 0 ? -1 : m_date->findData(form.dateSeconds));
    if (m_date->currentIndex() < 0)
        m_date->setEditText(QString());
}

void SearchForm::RememberSearch(const SearchRequest& search) {
    if (!search.query.empty()) {
        m_history.Add(search);
        m_history.Save(m_historyPath);
    }
    QStringList items;
    for (const std::string& q : m_history.Queries())
        items.push_back(QString::fromStdString(q));
    m_historyModel->setStringList(items);
}

void SearchForm::ClearHistory() {
    m_history.Clear();
    m_history.Save(m_historyPath);
    m_historyModel->setStringList({});
}

void SearchForm::OnRequestBusy(bool busy) {
    m_search->setText(busy ? tr("Stop") : tr("Search"));
}

void SearchForm::MoveToNextTabStop(QWidget* from) {
    int at = -1;
    for (int i = 0; i < m_tabStops.size(); ++i)
        if (m_tabStops[i] == from || m_tabStops[i]->isAncestorOf(from))
            at = i;
    for (int step = 1; step <= m_tabStops.size(); ++step) {
        QWidget* next = m_tabStops[(at + step) % m_tabStops.size()];
        if (next->isEnabled() && next->isVisibleTo(this)) {
            next->setFocus(Qt::TabFocusReason);
            return;
        }
    }
}

bool SearchForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_completer->popup()) {
        if (event->type() == QEvent::MouseButtonPress) {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            const QPoint onButton = m_search->mapFromGlobal(mouse->globalPosition().toPoint());
            if (m_search->isEnabled() && m_search->rect().contains(onButton)) {
                m_completer->popup()->hide();
                m_search->click();
                return true;
            }
        }
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
                (key->modifiers() & Qt::ControlModifier)) {
                m_completer->popup()->hide();
                emit searchWanted();
                return true;
            }
        }
        return QWidget::eventFilter(watched, event);
    }
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        // Down or Alt+Down in an empty query field offers the whole history.
        if (watched == m_query && m_query->text().isEmpty() && key->key() == Qt::Key_Down &&
            (key->modifiers() & ~Qt::AltModifier & ~Qt::KeypadModifier) == Qt::NoModifier) {
            m_completer->setCompletionPrefix(QString());
            m_completer->complete();
            return true;
        }
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        // Ctrl+Enter searches from any field; Enter alone moves on, as it always has.
        if (enter && (key->modifiers() & Qt::ControlModifier)) {
            emit searchWanted();
            return true;
        }
        if (enter) {
            auto* widget = qobject_cast<QWidget*>(watched);
            if (auto* button = qobject_cast<QPushButton*>(widget))
                button->click();
            else
                MoveToNextTabStop(widget);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
