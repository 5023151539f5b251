#ifndef NETWORKJOBS_H
#define NETWORKJOBS_H

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// Runs the service's changes to the network set-up (DNS, routes, the kill
// switch's table) on a thread of their own, one after the other in the
// order asked: a hung system tool never holds up the clients, and the undo
// of one tunnel is over before the next tunnel's changes begin.
class NetworkJobs
{
public:
    NetworkJobs();
    // Finishes the jobs already asked for, then ends the thread.
    ~NetworkJobs();
    NetworkJobs(const NetworkJobs&) = delete;
    NetworkJobs& operator=(const NetworkJobs&) = delete;

    // Runs work on the jobs' thread, then done (if any) on the thread of
    // context, unless context has gone by then.
    void run(std::function<void()> work, QObject* context = nullptr, std::function<void()> done = {});
    // Calls done on context's thread once every job asked for so far is over.
    void whenIdle(QObject* context, std::function<void()> done) { run([] {}, context, std::move(done)); }
    // Jobs asked for and not yet begun.
    int pending();

private:
    void serve();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_ending = false;
    // A plain thread: it needs no event loop of its own.
    std::thread m_thread;
};

#endif // NETWORKJOBS_H
