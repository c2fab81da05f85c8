// One POSIX thread with a mutex and condition variable for waking it.
#include "common/thread.h"

#include <signal.h>
#include <unistd.h>

namespace Common {

namespace {
constexpr uint32_t kWaiting = 1;
constexpr uint32_t kNotified = 2;
} // namespace

CThread::CThread() : m_stopRequested(false), m_running(false), m_state(kWaiting), m_thread(), m_started(false)
{
    pthread_attr_init(&m_attr);
    pthread_cond_init(&m_cond, nullptr);
    pthread_mutex_init(&m_mutex, nullptr);
}

CThread::~CThread()
{
    Stop();
    pthread_mutex_destroy(&m_mutex);
    pthread_cond_destroy(&m_cond);
    pthread_attr_destroy(&m_attr);
}

void* CThread::ThreadProc(void* arg)
{
    if (arg == nullptr) {
        return nullptr;
    }
    CThread* self = static_cast<CThread*>(arg);
    self->m_running = true;
    self->Run();
    // Once this is false the owner may destroy the object: touch nothing after.
    self->m_running = false;
    return nullptr;
}

bool CThread::Start(bool detached)
{
    if (detached && pthread_attr_setdetachstate(&m_attr, PTHREAD_CREATE_DETACHED) != 0) {
        return false;
    }
    // Counted as running from here, so a Stop that comes before the new thread
    // is scheduled still waits for its body instead of freeing it underneath.
    m_running = true;

    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);

    // The id is stored under m_mutex, where Wait reads it, so the new thread
    // sees it even if it gets to Wait before pthread_create has returned here.
    pthread_mutex_lock(&m_mutex);
    bool created = pthread_create(&m_thread, &m_attr, ThreadProc, this) == 0;
    m_started = created;
    pthread_mutex_unlock(&m_mutex);

    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!created) {
        m_running = false;
    }
    return created;
}

void CThread::Notify()
{
    pthread_mutex_lock(&m_mutex);
    m_state = kNotified;
    pthread_cond_signal(&m_cond);
    pthread_mutex_unlock(&m_mutex);
}

void CThread::Wait()
{
    pthread_mutex_lock(&m_mutex);
    if (!m_started || !pthread_equal(pthread_self(), m_thread)) {
        pthread_mutex_unlock(&m_mutex);
        return;
    }
    while (m_state != kNotified) {
        pthread_cond_wait(&m_cond, &m_mutex);
    }
    m_state = kWaiting;
    pthread_mutex_unlock(&m_mutex);
}

void CThread::Stop()
{
    m_stopRequested = true;
    Notify();
    while (m_running) {
        usleep(1000);
    }
}

bool CThread::IsNotified()
{
    pthread_mutex_lock(&m_mutex);
    bool notified = m_state == kNotified;
    pthread_mutex_unlock(&m_mutex);
    return notified;
}

bool CThread::IsWaiting()
{
    pthread_mutex_lock(&m_mutex);
    bool waiting = m_state == kWaiting;
    pthread_mutex_unlock(&m_mutex);
    return waiting;
}

} // namespace Common
