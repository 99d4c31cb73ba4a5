#pragma once
// The password field: every character typed, pasted, dropped or entered through an input
// method goes straight into masked cells, and the field itself only ever holds asterisks. The
// selection is kept collapsed, so that every edit is an insertion or a deletion at the caret.
#include "signin/PasswordCells.h"

#include <QLineEdit>

class PasswordField : public QLineEdit {
    Q_OBJECT
public:
    explicit PasswordField(QWidget* parent = nullptr);
    PasswordField(std::uint32_t seed, QWidget* parent); // a fixed key, for tests

    // A new zero-terminated copy of the password (Windows-1252 bytes); WipeClearText frees it.
    char* GetClearText() const { return m_cells.GetClearText(); }
    static void WipeClearText(char* text) { PasswordCells::WipeClearText(text); }
    std::size_t Length() const { return m_cells.Count(); }
    // Discards the whole password.
    void ClearAll();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    void Setup();
    // Inserts text at `position`; refuses it whole when a character does not fit Windows-1252.
    bool InsertAt(int position, const QString& text);
    void RemoveAt(int position, int count);
    void ShowMask(int caret);
    void CollapseSelection();
    void OnTextChanged(const QString& text);

    PasswordCells m_cells;
    int m_lastLength = 0;
    bool m_updating = false;
};
