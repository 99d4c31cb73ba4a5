#pragma once
// Runs the requests of the window (search, sign-in, logout) on a worker thread. While one runs,
// what the core reports (status texts, rows, hit count, signed-in user, messages) is queued and
// handed to the window on its own thread, in the order it was reported; the window keeps
// repainting and answering input, and Stop ends the transfer within a fraction of a second.
#include "search/QueryText.h"
#include "search/ResultList.h"

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class MainWindow;
class ResultView;

// The runner is the sink of the request it runs: the worker reports to it, never to the window.
class RequestRunner : public QObject, public RequestSink {
    Q_OBJECT
public:
    RequestRunner(MainWindow& window, ResultView& view);
    ~RequestRunner() override;

    // True from Start until the request's end is shown (its rows included).
    bool Busy() const { return m_thread.joinable() || m_finishDeferred; }

    // A request: it reports to the sink and runs under the control it is handed (the runner's
    // cancel token and the process's log).
    using Request = std::function<int(RequestSink& sink, const RequestControl& control)>;
    // Starts `request` on the worker; `finished` runs on the window's thread once it has ended
    // and everything it reported is shown. `stopped` tells that Stop ended it.
    using Finished = std::function<void(int status, bool stopped)>;
    void Start(Request request, Finished finished);
    // Runs `request` on the worker and returns its status when it has ended; the window keeps
    // answering meanwhile.
    int RunAndWait(Request request);
    // Ends the request under way, keeping what it read, and finishes it.
    void Stop();
    // Waits until no request runs, answering events meanwhile.
    void Wait();
    // Rows reported by the worker and not yet handed to the window.
    std::size_t QueuedRows();

    // RequestSink, called on the worker.
    void ClearTips() override;
    void Clear() override;
    void AppendHit(HitRow&& hit) override;
    void SetHitCount(int count) override;
    void SetSignedInUser(const std::string& user) override;
    void ShowMessage(const std::string& text) override;
    int ParseResultLine(std::string_view line) override;
    void SetStatusText(const std::string& text) override;
    void SetAuthText(const std::string& text) override;

signals:
    void busyChanged(bool busy);

private:
    struct Event {
        enum Kind { Row, ClearTips, DeleteAll, HitCount, Status, Auth, SignedIn, Message } kind;
        std::string text;
        int number = 0;
        HitRow row;
    };
    void Post(Event&& event);
    // Hands queued events to the window; at most `budget` rows a call, so that input is
    // answered between calls. Returns false when events are left.
    bool Drain(std::size_t budget);
    void DrainSlice();
    void WorkerEnded();
    void Finish();

    MainWindow& m_window;
    ResultView& m_view;
    std::thread m_thread;
    CancelToken m_cancel;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_workerDone{false};
    int m_status = 0;
    Finished m_finished;
    bool m_draining = false;
    bool m_finishDeferred = false; // ended while a message box was up: finished after it

    std::mutex m_mutex;
    std::condition_variable m_drained; // the worker waits here while the queue is full
    std::deque<Event> m_events;
    bool m_drainPosted = false;
    std::size_t m_queuedRows = 0;
    // Rows handed on in this request, and those past the list's limit, which are only counted.
    std::size_t m_forwardedRows = 0;
    std::size_t m_droppedRows = 0;
};
