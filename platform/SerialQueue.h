#pragma once

#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace glasswing {

// A serial background queue: one long-lived worker thread that runs submitted jobs one at a
// time, in the order they were submitted.
//
// `async` may be called from any thread. Destruction runs every job already submitted, then
// joins the worker.
class SerialQueue {
public:
    explicit SerialQueue(QString label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const QString& label() const { return m_label; }

    void async(std::function<void()> job);
    // Blocks until every job submitted before this call has finished. Must not be called from a
    // job of this queue.
    void waitUntilIdle();

private:
    void run();

    const QString m_label;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::function<void()>> m_jobs;
    bool m_running = false;
    bool m_stopping = false;
    std::thread m_worker;
};

} // namespace glasswing
