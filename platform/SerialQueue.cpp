#include "platform/SerialQueue.h"

#include <pthread.h>

namespace glasswing {

SerialQueue::SerialQueue(QString label)
    : m_label(std::move(label))
{
    m_worker = std::thread([this] { run(); });
    // The kernel keeps 15 bytes of a thread name; enough to tell the queue apart in a debugger.
    pthread_setname_np(m_worker.native_handle(), m_label.toUtf8().left(15).constData());
}

SerialQueue::~SerialQueue()
{
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_worker.join();
}

void SerialQueue::async(std::function<void()> job)
{
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
}

void SerialQueue::waitUntilIdle()
{
    std::unique_lock<std::mutex> guard(m_lock);
    m_idle.wait(guard, [this] { return m_jobs.empty() && !m_running; });
}

void SerialQueue::run()
{
    std::unique_lock<std::mutex> guard(m_lock);
    for (;;) {
        m_wake.wait(guard, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_jobs.empty()) // stopping, and nothing left to run
            return;
        std::function<void()> job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_running = true;
        guard.unlock();
        job();
        guard.lock();
        m_running = false;
        if (m_jobs.empty())
            m_idle.notify_all();
    }
}

} // namespace glasswing
