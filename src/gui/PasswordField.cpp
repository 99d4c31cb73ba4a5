#include "gui/PasswordField.h"

#include "text/Codepage.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <algorithm>

// Qt hands the characters of a key press, a paste, a drop or an input method over in transient
// QString objects of its own (events, the clipboard); those copies cannot be wiped from here.
// Everything this class keeps lives in the masked cells.

PasswordField::PasswordField(QWidget* parent) : QLineEdit(parent) {
    Setup();
}

PasswordField::PasswordField(std::uint32_t seed, QWidget* parent)
    : QLineEdit(parent), m_cells(seed) {
    Setup();
}

void PasswordField::Setup() {
    setAccessibleName(tr("Password"));
    setAccessibleDescription(tr("%n characters", nullptr, 0));
    setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText |
                        Qt::ImhNoAutoUppercase);
    setAcceptDrops(true);
    setDragEnabled(false);
    setContextMenuPolicy(Qt::DefaultContextMenu);
    connect(this, &QLineEdit::selectionChanged, this, &PasswordField::CollapseSelection);
    connect(this, &QLineEdit::textChanged, this, &PasswordField::OnTextChanged);
}

void PasswordField::ShowMask(int caret) {
    m_updating = true;
    m_lastLength = static_cast<int>(m_cells.Count());
    // setText also empties the field's undo history: nothing typed can be undone back.
    setText(QString(m_lastLength, QLatin1Char('*')));
    // A screen reader hears the length, never the content.
    setAccessibleDescription(tr("%n characters", nullptr, m_lastLength));
    setCursorPosition(std::clamp(caret, 0, m_lastLength));
    m_updating = false;
}

bool PasswordField::InsertAt(int position, const QString& text) {
    QString clean = text;
    clean.remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
    if (clean.isEmpty())
        return false;
    bool ok = false;
    QByteArray utf8 = clean.toUtf8();
    std::string bytes = Utf8ToCp1252(
        std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())), &ok);
    utf8.fill('\0');
    if (!ok || bytes.find('\0') != std::string::npos) {
        PasswordCells::WipeBytes(bytes.data(), true);
        QApplication::beep();
        return false;
    }
    m_cells.InsertChars(static_cast<std::size_t>(position), bytes.data(), bytes.size());
    PasswordCells::WipeBytes(bytes.data(), true);
    ShowMask(position + static_cast<int>(bytes.size()));
    return true;
}

void PasswordField::RemoveAt(int position, int count) {
    if (position < 0 || count <= 0)
        return;
    m_cells.RemoveChars(static_cast<std::size_t>(position), static_cast<std::size_t>(count));
    ShowMask(position);
}

void PasswordField::ClearAll() {
    m_cells.ClearAll();
    ShowMask(0);
}

void PasswordField::CollapseSelection() {
    if (m_updating || !hasSelectedText())
        return;
    const int start = selectionStart();
    m_updating = true;
    deselect();
    setCursorPosition(start);
    m_updating = false;
}

void PasswordField::keyPressEvent(QKeyEvent* event) {
    const int caret = cursorPosition();
    const int length = static_cast<int>(m_cells.Count());
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    const int key = event->key();

    // Shift+Home or Shift+End discards the whole password.
    if ((key == Qt::Key_Home || key == Qt::Key_End) && shift) {
        ClearAll();
        event->accept();
        return;
    }
    if (event->matches(QKeySequence::Paste)) {
        InsertAt(caret, QApplication::clipboard()->text());
        event->accept();
        return;
    }
    if (event->matches(QKeySequence::Undo) || event->matches(QKeySequence::Redo) ||
        event->matches(QKeySequence::Copy) || event->matches(QKeySequence::Cut) ||
        event->matches(QKeySequence::SelectAll)) {
        event->accept(); // nothing to undo, copy or select
        return;
    }
    switch (key) {
    case Qt::Key_Backspace:
        if (caret > 0)
            RemoveAt(caret - 1, 1);
        event->accept();
        return;
    case Qt::Key_Delete:
        if (caret < length)
            RemoveAt(caret, 1);
        event->accept();
        return;
    case Qt::Key_Left:
        // A selection made with Shift collapses to its start: Shift+Left moves like Left,
        // Shift+Right selects nothing and so stays.
        if (caret > 0)
            setCursorPosition(caret - 1);
        event->accept();
        return;
    case Qt::Key_Right:
        if (!shift && caret < length)
            setCursorPosition(caret + 1);
        event->accept();
        return;
    case Qt::Key_Home:
        setCursorPosition(0);
        event->accept();
        return;
    case Qt::Key_End:
        setCursorPosition(length);
        event->accept();
        return;
    default:
        break;
    }
    const QString text = event->text();
    const bool printable = !text.isEmpty() && text.at(0).isPrint() &&
                           !(event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier));
    if (printable) {
        InsertAt(caret, text);
        event->accept();
        return;
    }
    // Enter, Escape, Tab and the like: as any line edit (the dialog's buttons act on them).
    QLineEdit::keyPressEvent(event);
    CollapseSelection();
}

void PasswordField::inputMethodEvent(QInputMethodEvent* event) {
    // Only committed text counts; a pre-edit string is never shown in clear.
    if (!event->commitString().isEmpty())
        InsertAt(cursorPosition(), event->commitString());
    event->accept();
}

void PasswordField::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::MiddleButton) {
        // The X11 selection paste goes into the cells too.
        const QClipboard* clipboard = QApplication::clipboard();
        if (clipboard->supportsSelection())
            InsertAt(cursorPositionAt(event->position().toPoint()),
                     clipboard->text(QClipboard::Selection));
        event->accept();
        return;
    }
    QLineEdit::mouseReleaseEvent(event);
    CollapseSelection();
}

void PasswordField::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasText())
        event->acceptProposedAction();
    else
        event->ignore();
}

void PasswordField::dragMoveEvent(QDragMoveEvent* event) {
    if (event->mimeData()->hasText())
        event->acceptProposedAction();
    else
        event->ignore();
}

void PasswordField::dropEvent(QDropEvent* event) {
    if (!event->mimeData()->hasText()) {
        event->ignore();
        return;
    }
    InsertAt(cursorPositionAt(event->position().toPoint()), event->mimeData()->text());
    event->acceptProposedAction();
}

void PasswordField::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* paste = menu.addAction(tr("&Paste"));
    paste->setEnabled(!QApplication::clipboard()->text().isEmpty());
    QAction* clear = menu.addAction(tr("&Clear"));
    clear->setEnabled(m_cells.Count() > 0);
    QAction* chosen = menu.exec(event->globalPos());
    if (chosen == paste)
        InsertAt(cursorPosition(), QApplication::clipboard()->text());
    else if (chosen == clear)
        ClearAll();
}

void PasswordField::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    // Tabbing in selects all: the caret goes to the start instead.
    if (hasSelectedText()) {
        m_updating = true;
        deselect();
        setCursorPosition(0);
        m_updating = false;
    }
}

// Anything that still changed the text by another road (an accessibility tool, a program) is
// treated as the edit control's update notification: the new characters stand in clear at
// the caret, all older ones are asterisks.
void PasswordField::OnTextChanged(const QString& text) {
    if (m_updating)
        return;
    const int length = static_cast<int>(text.size());
    const int delta = length - m_lastLength;
    const int caret = cursorPosition();
    if (delta < 0) {
        RemoveAt(caret, -delta);
    } else if (delta > 0 && caret - delta >= 0) {
        if (!InsertAt(caret - delta, text.mid(caret - delta, delta)))
            ShowMask(caret - delta);
    } else {
        ShowMask(caret);
    }
}
