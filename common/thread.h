// Base for an object that owns one POSIX thread: a derived class supplies the
// body, and Notify/Wait give that body a wake-up that cannot be lost.
#ifndef COMMON_THREAD_H
#define COMMON_THREAD_H

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace Common {

class CThread {
public:
    CThread();
    // Stops the thread first. A derived class whose body uses its own members
    // must stop in its own destructor, before those members go.
    virtual ~CThread();

    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Creates the thread (detached when asked); true when it was created.
    // The thread starts with every catchable signal blocked, so signals meant
    // for the thread that armed them (libcurl's SIGALRM) never land there.
    bool Start(bool detached);

    // Wakes the thread; notifications that pile up before a Wait count as one.
    void Notify();
    // Sleeps until notified when called on the object's own thread; from any
    // other thread it returns at once and changes nothing.
    void Wait();
    // Requests the stop, wakes the thread and returns once the body has
    // returned (at once when no body is executing).
    void Stop();

    bool ShouldRun() const { return !m_stopRequested.load(); }
    bool IsRunning() const { return m_running.load(); }
    bool IsNotified();
    bool IsWaiting();

protected:
    virtual void Run() = 0;

private:
    static void* ThreadProc(void* arg);

    std::atomic<bool> m_stopRequested;
    std::atomic<bool> m_running;
    uint32_t m_state;  // 1: waiting, no notification pending; 2: notified
    pthread_t m_thread;
    bool m_started;  // m_thread holds the id; guarded by m_mutex
    pthread_attr_t m_attr;
    pthread_cond_t m_cond;
    pthread_mutex_t m_mutex;
};

} // namespace Common

#endif
