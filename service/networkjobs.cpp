#include "networkjobs.h"

#include <QPointer>

NetworkJobs::NetworkJobs()
    : m_thread(&NetworkJobs::serve, this)
{
}

NetworkJobs::~NetworkJobs()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ending = true;
    }
    m_wake.notify_one();
    // The jobs asked for run to their end (each system tool is bounded):
    // nothing is left half undone.
    m_thread.join();
}

void NetworkJobs::run(std::function<void()> work, QObject* context, std::function<void()> done)
{
    QPointer<QObject> receiver(context);
    const bool answer = context != nullptr && bool(done);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_jobs.push_back([work = std::move(work), receiver, answer, done = std::move(done)] {
            work();
            // Posted, not called: a receiver destroyed meanwhile takes its
            // pending calls with it.
            if (answer && receiver)
                QMetaObject::invokeMethod(receiver.data(), done, Qt::QueuedConnection);
        });
    }
    m_wake.notify_one();
}

int NetworkJobs::pending()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_jobs.size());
}

void NetworkJobs::serve()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_ending || !m_jobs.empty(); });
            if (m_jobs.empty())
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }
}
