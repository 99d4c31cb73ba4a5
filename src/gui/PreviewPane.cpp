#include "gui/PreviewPane.h"

#include "gui/ResultActions.h"

#include <QColor>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QThread>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

namespace {

// One background a word of the query, in turn.
const QColor kWordColours[] = {QColor(255, 235, 120), QColor(160, 220, 255), QColor(190, 240, 170),
                               QColor(255, 200, 220), QColor(220, 200, 255), QColor(255, 210, 160)};

// The UTF-16 positions of byte offsets of UTF-8 text (`bytes` sorted).
std::vector<int> Utf16Positions(std::string_view text, const std::vector<std::size_t>& bytes) {
    std::vector<int> out;
    out.reserve(bytes.size());
    int units = 0;
    std::size_t at = 0;
    for (std::size_t b : bytes) {
        for (; at < b && at < text.size(); ++at) {
            const auto c = static_cast<unsigned char>(text[at]);
            if ((c & 0xC0) != 0x80)
                units += c >= 0xF0 ? 2 : 1; // beyond the BMP: a surrogate pair
        }
        out.push_back(units);
    }
    return out;
}

} // namespace

PreviewPane::PreviewPane(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("previewPane"));
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("previewStatus"));
    m_status->setTextFormat(Qt::PlainText);
    m_previous = new QToolButton(this);
    m_previous->setObjectName(QStringLiteral("previewPrevious"));
    m_previous->setText(tr("Previous"));
    m_previous->setToolTip(tr("Previous match (Shift+F3)"));
    m_previous->setAccessibleName(tr("Previous match"));
    m_next = new QToolButton(this);
    m_next->setObjectName(QStringLiteral("previewNext"));
    m_next->setText(tr("Next"));
    m_next->setToolTip(tr("Next match (F3)"));
    m_next->setAccessibleName(tr("Next match"));
    m_openPage = new QToolButton(this);
    m_openPage->setObjectName(QStringLiteral("previewOpenPage"));
    m_openPage->setText(tr("Open at this page"));
    m_openPage->setToolTip(tr("Open the document at the page in view"));
    // Shown for documents of pages only, its room kept: the pane does not change its width.
    QSizePolicy keepRoom = m_openPage->sizePolicy();
    keepRoom.setRetainSizeWhenHidden(true);
    m_openPage->setSizePolicy(keepRoom);
    m_text = new QPlainTextEdit(this);
    m_text->setObjectName(QStringLiteral("previewText"));
    m_text->setAccessibleName(tr("Preview"));
    m_text->setReadOnly(true);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_text->setLineWrapMode(QPlainTextEdit::WidgetWidth);

    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(0, 0, 0, 0);
    bar->addWidget(m_status, 1);
    bar->addWidget(m_previous);
    bar->addWidget(m_next);
    bar->addWidget(m_openPage);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 0, 0, 0);
    layout->addLayout(bar);
    layout->addWidget(m_text, 1);
    connect(m_text->verticalScrollBar(), &QScrollBar::valueChanged, this,
            &PreviewPane::MarkVisible);
    connect(m_previous, &QToolButton::clicked, this, &PreviewPane::PreviousMatch);
    connect(m_next, &QToolButton::clicked, this, &PreviewPane::NextMatch);
    connect(m_openPage, &QToolButton::clicked, this, &PreviewPane::OpenAtPage);
    Clear();
}

PreviewPane::~PreviewPane() {
    if (m_worker) {
        m_cancel->Cancel();
        m_worker->wait();
    }
}

void PreviewPane::ShowHit(const std::string& link, const std::string& query,
                          const std::string& hitMatches, const Settings& settings) {
    m_pending = std::make_unique<Request>(Request{link, query, hitMatches, settings});
    if (m_worker) {
        // The load under way ends within 50 ms; then this selection's starts.
        if (!m_stale) {
            m_stale = true;
            m_cancel->Cancel();
            ++m_cancelled;
        }
        return;
    }
    StartNext();
}

void PreviewPane::StartNext() {
    if (!m_pending)
        return;
    const std::unique_ptr<Request> request = std::move(m_pending);
    m_status->setText(tr("Loading..."));
    m_cancel = std::make_shared<CancelToken>();
    m_result = std::make_shared<HitText>();
    m_loadingLink = request->link;
    m_stale = false;
    ++m_started;
    auto cancel = m_cancel;
    auto result = m_result;
    m_worker = QThread::create([cancel, result, r = *request] {
        RequestControl control;
        control.cancel = cancel.get();
        control.timeouts.deadlineMs = 30000;
        *result = FetchHitText(r.link, r.query, r.settings, control, r.hitMatches);
    });
    connect(m_worker, &QThread::finished, this, &PreviewPane::OnWorkerDone);
    m_worker->start();
}

void PreviewPane::OnWorkerDone() {
    m_worker->deleteLater();
    m_worker = nullptr;
    if (!m_stale && !m_pending)
        Show(*m_result);
    m_result.reset();
    StartNext();
}

void PreviewPane::Clear() {
    m_places.clear(); // first: the view scrolls as its text goes
    m_text->clear();
    m_text->setExtraSelections({});
    m_current = -1;
    m_pages = 1;
    m_pageLines.clear();
    m_note.clear();
    m_status->setText(QString());
    m_previous->setEnabled(false);
    m_next->setEnabled(false);
    m_openPage->hide();
}

void PreviewPane::Show(const HitText& hit) {
    Clear();
    m_link = m_loadingLink;
    if (!hit.ok) {
        m_text->setPlainText(tr("This document's text is not available: %1.")
                                 .arg(QString::fromStdString(hit.problem)));
        emit loaded();
        return;
    }
    const PreviewMarks marks = MarkPreview(hit.text, hit.matches);
    // Long lines are broken (a blank for a line break, so the places stay where they are).
    std::string shown = hit.text;
    BreakLongLines(shown);
    std::vector<std::size_t> offsets;
    for (const auto& p : marks.places) {
        offsets.push_back(p.begin);
        offsets.push_back(p.end);
    }
    const std::vector<int> positions = Utf16Positions(hit.text, offsets);
    const std::vector<int> pageStarts = Utf16Positions(hit.text, marks.pageStarts);
    m_pages = static_cast<int>(pageStarts.size()) + 1;
    std::vector<int> shifts;
    // Before the places: the view scrolls as the text comes.
    m_text->setPlainText(PagedText(
        QString::fromUtf8(shown.data(), static_cast<qsizetype>(shown.size())), pageStarts, shifts));
    for (std::size_t i = 0; i < marks.places.size(); ++i) {
        const int page = 1 + static_cast<int>(std::upper_bound(pageStarts.begin(), pageStarts.end(),
                                                               positions[2 * i]) -
                                              pageStarts.begin());
        const int shift = shifts[static_cast<std::size_t>(page - 1)];
        m_places.push_back({positions[2 * i] + shift, positions[2 * i + 1] + shift,
                            static_cast<int>(marks.places[i].word), page});
    }
    if (hit.cut)
        m_note = tr("Only the first part of this document is shown.");
    m_openPage->setVisible(m_pages > 1);
    GoTo(m_places.empty() ? -1 : 0);
    emit loaded();
}

QString PreviewPane::PagedText(const QString& text, const std::vector<int>& pageStarts,
                               std::vector<int>& shifts) {
    shifts.assign(pageStarts.size() + 1, 0);
    if (pageStarts.empty())
        return text;
    QString paged;
    paged.reserve(text.size() + static_cast<qsizetype>(pageStarts.size() + 1) * 12);
    for (std::size_t p = 0, from = 0; p <= pageStarts.size(); ++p) {
        // Each page ends at the form feed before the next; the form feed becomes a line break.
        const std::size_t to = p < pageStarts.size() ? static_cast<std::size_t>(pageStarts[p]) - 1
                                                     : static_cast<std::size_t>(text.size());
        m_pageLines.push_back(static_cast<int>(paged.size()));
        paged += tr("Page %1").arg(p + 1) + QChar::ParagraphSeparator;
        shifts[p] = static_cast<int>(paged.size() - static_cast<qsizetype>(from));
        paged +=
            QStringView(text).mid(static_cast<qsizetype>(from), static_cast<qsizetype>(to - from));
        if (p < pageStarts.size())
            paged += QChar::ParagraphSeparator;
        from = to + 1;
    }
    return paged;
}

int PreviewPane::PageInView() const {
    // The current match's page while it is in view; else the page at the top of the view.
    const QRect view = m_text->viewport()->rect();
    if (m_current >= 0) {
        const Place& place = m_places[static_cast<std::size_t>(m_current)];
        QTextCursor cursor(m_text->document());
        cursor.setPosition(place.begin);
        if (view.intersects(m_text->cursorRect(cursor)))
            return place.page;
    }
    const int at = m_text->cursorForPosition(QPoint(0, 0)).position();
    return std::max(1,
                    static_cast<int>(std::upper_bound(m_pageLines.begin(), m_pageLines.end(), at) -
                                     m_pageLines.begin()));
}

void PreviewPane::OpenAtPage() {
    if (LaunchLinkAtPage(m_link, PageInView()) != kLaunchOk)
        m_status->setText(tr("This document cannot be opened at its page."));
}

void PreviewPane::MarkVisible() {
    // From a screen above the view to a screen below it.
    const QRect view = m_text->viewport()->rect();
    const int from = m_text->cursorForPosition(QPoint(0, -view.height())).position();
    const int to = m_text->cursorForPosition(QPoint(view.width(), 2 * view.height())).position();
    const auto first = std::lower_bound(m_places.begin(), m_places.end(), from,
                                        [](const Place& p, int at) { return p.end < at; });
    QList<QTextEdit::ExtraSelection> selections;
    for (auto it = first; it != m_places.end() && it->begin <= to; ++it) {
        const int i = static_cast<int>(it - m_places.begin());
        const Place& p = *it;
        QTextEdit::ExtraSelection s;
        s.cursor = QTextCursor(m_text->document());
        s.cursor.setPosition(p.begin);
        s.cursor.setPosition(p.end, QTextCursor::KeepAnchor);
        s.format.setBackground(
            kWordColours[static_cast<std::size_t>(p.word) % std::size(kWordColours)]);
        s.format.setForeground(QColor(Qt::black));
        if (i == m_current) {
            s.format.setFontWeight(QFont::Bold);
            s.format.setFontUnderline(true);
        }
        selections.append(s);
    }
    for (auto line = std::lower_bound(m_pageLines.begin(), m_pageLines.end(), from);
         line != m_pageLines.end() && *line <= to; ++line) {
        QTextEdit::ExtraSelection s;
        s.cursor = QTextCursor(m_text->document());
        s.cursor.setPosition(*line);
        s.format.setProperty(QTextFormat::FullWidthSelection, true); // a band across the view
        s.format.setBackground(palette().color(QPalette::Midlight));
        selections.append(s);
    }
    m_text->setExtraSelections(selections);
}

void PreviewPane::GoTo(int match) {
    m_current = match;
    if (match >= 0) {
        QTextCursor cursor(m_text->document());
        cursor.setPosition(m_places[static_cast<std::size_t>(match)].begin);
        m_text->setTextCursor(cursor);
        m_text->centerCursor();
    }
    MarkVisible();
    m_previous->setEnabled(match > 0);
    m_next->setEnabled(match >= 0 && match + 1 < static_cast<int>(m_places.size()));
    m_status->setText(MatchLabel());
}

QString PreviewPane::MatchLabel() const {
    QString label;
    if (m_places.empty())
        label = m_text->document()->isEmpty() ? QString() : tr("No match in the text");
    else
        label = tr("Match %1 of %2").arg(m_current + 1).arg(m_places.size());
    if (m_pages > 1 && m_current >= 0)
        label += tr(" · Page %1").arg(m_places[static_cast<std::size_t>(m_current)].page);
    if (!m_note.isEmpty())
        label += QStringLiteral(" · ") + m_note;
    return label;
}

void PreviewPane::NextMatch() {
    if (m_current + 1 < static_cast<int>(m_places.size()))
        GoTo(m_current + 1);
}

void PreviewPane::PreviousMatch() {
    if (m_current > 0)
        GoTo(m_current - 1);
}
