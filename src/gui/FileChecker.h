#pragma once
// Looks whether the files that hits link to still exist, on a thread of its own: a stalled
// network mount holds up that thread, never the window. Results come back as a signal on the
// window's thread.
#include <QObject>
#include <memory>
#include <string>

class FileChecker : public QObject {
    Q_OBJECT
public:
    explicit FileChecker(QObject* parent = nullptr);
    ~FileChecker() override;

    // Asks about a local path (once; later requests for it are answered from what is known).
    void Check(const std::string& path);
    // What is known: 1 exists, 0 gone, -1 not known yet.
    int Known(const std::string& path) const;
    // Forgets what is known (a new search).
    void Forget();

signals:
    void checked(const QString& path, bool exists);

private:
    struct State;
    std::shared_ptr<State> m_state;
};
