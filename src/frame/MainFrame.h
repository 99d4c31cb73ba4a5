#pragma once
// The single top-level window.
#include <QMainWindow>

class QSplitter;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    QSplitter* Splitter() const { return m_splitter; }

private:
    QSplitter* m_splitter = nullptr;
};
