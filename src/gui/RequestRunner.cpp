#include "gui/RequestRunner.h"

#include "diag/ActivityLog.h"
#include "gui/MainWindow.h"
#include "gui/ResultModel.h"
#include "gui/ResultView.h"
#include "net/FetchPage.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

namespace {
constexpr std::size_t kRowsPerDrain = 2000;
// How many rows may wait for the window: the worker waits beyond this, so that a window slower
// than the page cannot make the queue grow without bound.
constexpr std::size_t kMaxQueuedRows = 50000;
} // namespace

RequestRunner::RequestRunner(MainWindow& window, ResultView& view)
    : QObject(&window), m_window(window), m_view(view) {}

RequestRunner::~RequestRunner() {
    if (m_thread.joinable()) {
        m_stopRequested = true;
        m_cancel.Cancel();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_drained.notify_all(); // a worker waiting for room goes on, and sees the stop
        }
        m_thread.join();
    }
}

void RequestRunner::Start(Request request, Finished finished) {
    if (Busy())
        Stop();
    m_finished = std::move(finished);
    m_stopRequested = false;
    m_workerDone = false;
    m_forwardedRows = m_droppedRows = 0;
    m_cancel.Reset();
    RequestControl control;
    control.cancel = &m_cancel;
    control.log = ProcessLog();
    // What the request reports comes here and is queued for the window.
    m_thread = std::thread([this, request = std::move(request), control] {
        m_status = request(*this, control);
        m_workerDone = true;
        QMetaObject::invokeMethod(
            this, [this] { WorkerEnded(); }, Qt::QueuedConnection);
    });
    emit busyChanged(true);
}

int RequestRunner::RunAndWait(Request request) {
    int result = 0;
    Start(std::move(request), [&result](int status, bool) { result = status; });
    Wait();
    return result;
}

void RequestRunner::Wait() {
    while (Busy())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

std::size_t RequestRunner::QueuedRows() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queuedRows;
}

void RequestRunner::Stop() {
    if (!m_thread.joinable())
        return; // nothing runs (or it ended, and its finish waits for a message box)
    m_stopRequested = true;
    m_cancel.Cancel();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_drained.notify_all(); // a worker waiting for room goes on, and sees the stop
    }
    m_thread.join(); // the transfer looks at the cancel flag every 50 ms
    Finish();
}

void RequestRunner::WorkerEnded() {
    if (!m_thread.joinable() || !m_workerDone)
        return; // already finished by Stop
    m_thread.join();
    Finish();
}

void RequestRunner::Finish() {
    if (m_draining) {
        // A message box of an earlier event is up, with rows queued behind it: the request is
        // finished once that drain has handed everything on.
        m_finishDeferred = true;
        return;
    }
    m_finishDeferred = false;
    while (!Drain(SIZE_MAX)) {
    }
    m_view.Model()->FlushPendingRows();
    m_view.Model()->AddDroppedRows(m_droppedRows);
    m_cancel.Reset();
    Finished finished = std::move(m_finished);
    m_finished = nullptr;
    const bool stopped = m_stopRequested;
    m_stopRequested = false;
    emit busyChanged(false);
    if (finished)
        finished(m_status, stopped);
}

void RequestRunner::Post(Event&& event) {
    bool post = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(std::move(event));
        post = !m_drainPosted;
        m_drainPosted = true;
    }
    if (post)
        QMetaObject::invokeMethod(
            this, [this] { DrainSlice(); }, Qt::QueuedConnection);
}

void RequestRunner::DrainSlice() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_drainPosted = false;
    }
    if (Drain(kRowsPerDrain))
        return;
    // More is queued: the rest after the input that waits now.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_drainPosted) {
        m_drainPosted = true;
        QMetaObject::invokeMethod(
            this, [this] { DrainSlice(); }, Qt::QueuedConnection);
    }
}

bool RequestRunner::Drain(std::size_t budget) {
    if (m_draining)
        return true; // a message box of an earlier event is up; its drain goes on afterwards
    m_draining = true;
    std::size_t rows = 0;
    bool empty = false;
    while (rows < budget) {
        Event event;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_events.empty()) {
                empty = true;
                break;
            }
            event = std::move(m_events.front());
            m_events.pop_front();
            if (event.kind == Event::Row && --m_queuedRows == kMaxQueuedRows / 2)
                m_drained.notify_all();
        }
        switch (event.kind) {
        case Event::Row:
            m_view.AppendHit(std::move(event.row));
            ++rows;
            break;
        case Event::ClearTips:
            m_view.ClearTips();
            break;
        case Event::HitCount:
            m_window.SetHitCount(event.number);
            break;
        case Event::Status:
            m_window.SetStatusText(event.text);
            break;
        case Event::DeleteAll:
            m_view.Clear();
            break;
        case Event::Auth:
            m_window.SetAuthText(event.text);
            break;
        case Event::SignedIn:
            m_window.SetSignedInUser(event.text);
            break;
        case Event::Message:
            m_view.ShowMessage(event.text);
            break;
        }
    }
    m_view.Model()->FlushPendingRows();
    m_draining = false;
    if (m_finishDeferred && !m_thread.joinable())
        Finish();
    return empty;
}

void RequestRunner::ClearTips() {
    Post({Event::ClearTips, {}, 0, {}});
}

void RequestRunner::Clear() {
    Post({Event::DeleteAll, {}, 0, {}});
}

void RequestRunner::AppendHit(HitRow&& hit) {
    if (m_forwardedRows >= ResultModel::kMaxRows) {
        ++m_droppedRows; // past the list's limit: counted, not queued
        return;
    }
    ++m_forwardedRows;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_drained.wait(lock, [this] { return m_queuedRows < kMaxQueuedRows || m_stopRequested; });
        ++m_queuedRows;
    }
    Event event{Event::Row, {}, 0, {}};
    event.row = std::move(hit);
    Post(std::move(event));
}

void RequestRunner::SetHitCount(int count) {
    Post({Event::HitCount, {}, count, {}});
}

void RequestRunner::SetSignedInUser(const std::string& user) {
    Post({Event::SignedIn, user, 0, {}});
}

void RequestRunner::ShowMessage(const std::string& text) {
    Post({Event::Message, text, 0, {}});
}

int RequestRunner::ParseResultLine(std::string_view line) {
    if (m_stopRequested)
        return 0;
    return ResultList::ParseResultLine(line);
}

void RequestRunner::SetStatusText(const std::string& text) {
    Post({Event::Status, text, 0, {}});
}

void RequestRunner::SetAuthText(const std::string& text) {
    Post({Event::Auth, text, 0, {}});
}
