#include "gui/FileChecker.h"

#include <QPointer>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unordered_map>

// Shared with the thread, which may outlive the checker while a stat() hangs.
struct FileChecker::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::string> queue;
    std::unordered_map<std::string, int> known; // 1 exists, 0 gone, -1 asked
    bool stopping = false;
    QPointer<FileChecker> owner;
};

FileChecker::FileChecker(QObject* parent) : QObject(parent), m_state(std::make_shared<State>()) {
    m_state->owner = this;
    std::thread([state = m_state] {
        std::unique_lock<std::mutex> lock(state->mutex);
        for (;;) {
            state->wake.wait(lock, [&] { return state->stopping || !state->queue.empty(); });
            if (state->stopping)
                return;
            const std::string path = state->queue.front();
            state->queue.pop_front();
            lock.unlock();
            struct stat info {};
            const bool exists = ::stat(path.c_str(), &info) == 0;
            lock.lock();
            auto it = state->known.find(path);
            if (it == state->known.end())
                continue; // forgotten meanwhile
            it->second = exists ? 1 : 0;
            QPointer<FileChecker> owner = state->owner;
            if (owner)
                QMetaObject::invokeMethod(
                    owner.data(),
                    [owner, path, exists] {
                        if (owner)
                            emit owner->checked(QString::fromStdString(path), exists);
                    },
                    Qt::QueuedConnection);
        }
    }).detach();
}

FileChecker::~FileChecker() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->stopping = true;
    m_state->owner = nullptr;
    m_state->wake.notify_all();
}

void FileChecker::Check(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (!m_state->known.emplace(path, -1).second)
        return;
    m_state->queue.push_back(path);
    m_state->wake.notify_all();
}

int FileChecker::Known(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    auto it = m_state->known.find(path);
    return it == m_state->known.end() ? -1 : it->second;
}

void FileChecker::Forget() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->queue.clear();
    m_state->known.clear();
}
