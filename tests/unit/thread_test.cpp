// The thread base: notification semantics, Stop, and the new thread's signal mask.
#include "common/thread.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>

namespace {

// Waits at most ten seconds for the body to report.
bool Reported(std::future<void>& report) { return report.wait_for(std::chrono::seconds(10)) == std::future_status::ready; }

// A body given as a function; stops in its own destructor, before `m_body` goes.
class FnThread : public Common::CThread {
public:
    explicit FnThread(std::function<void(FnThread&)> body) : m_body(std::move(body)) {}
    ~FnThread() override { Stop(); }

protected:
    void Run() override { m_body(*this); }

private:
    std::function<void(FnThread&)> m_body;
};

TEST(ThreadTest, WaitFromAnotherThreadReturnsAtOnceAndChangesNothing)
{
    FnThread idle([](FnThread&) {});
    idle.Wait();  // never started: no own thread at all
    EXPECT_TRUE(idle.IsWaiting());

    std::atomic<bool> release(false);
    std::promise<void> consumed;
    std::future<void> consumedReport = consumed.get_future();
    FnThread gated([&](FnThread& self) {
        while (!release) {
            usleep(100);
        }
        self.Wait();
        consumed.set_value();
    });
    ASSERT_TRUE(gated.Start(true));
    gated.Notify();
    gated.Wait();  // from the test's thread: must neither block nor consume
    EXPECT_TRUE(gated.IsNotified());
    release = true;
    ASSERT_TRUE(Reported(consumedReport));
    EXPECT_TRUE(gated.IsWaiting());
}

TEST(ThreadTest, NotificationsBeforeAWaitCountAsOne)
{
    std::atomic<bool> release(false);
    std::promise<void> firstWake;
    std::future<void> firstWakeReport = firstWake.get_future();
    bool pendingAfterWake = true;
    FnThread thread([&](FnThread& self) {
        while (!release) {
            usleep(100);
        }
        self.Wait();  // returns at once: notifications are pending
        pendingAfterWake = self.IsNotified();
        firstWake.set_value();
        while (self.ShouldRun()) {
            self.Wait();
        }
    });
    ASSERT_TRUE(thread.Start(true));
    thread.Notify();
    thread.Notify();
    thread.Notify();
    release = true;
    ASSERT_TRUE(Reported(firstWakeReport));
    EXPECT_FALSE(pendingAfterWake);
    thread.Stop();  // also ends the Wait that follows: the test hangs otherwise
    EXPECT_FALSE(thread.IsRunning());
}

TEST(ThreadTest, StopReturnsAtOnceWhenNoBodyIsExecuting)
{
    FnThread never([](FnThread&) {});
    never.Stop();
    EXPECT_FALSE(never.IsRunning());
    EXPECT_FALSE(never.ShouldRun());

    std::promise<void> ran;
    std::future<void> ranReport = ran.get_future();
    FnThread finished([&](FnThread&) { ran.set_value(); });
    ASSERT_TRUE(finished.Start(true));
    ASSERT_TRUE(Reported(ranReport));
    finished.Stop();  // at most the moment the body takes to return
    EXPECT_FALSE(finished.IsRunning());
}

TEST(ThreadTest, DestroyingRightAfterStartWaitsForTheBody)
{
    // Without the running mark set before the thread exists, the destructor's
    // Stop could return before the body starts, which then uses a dead object.
    for (int i = 0; i < 200; ++i) {
        std::atomic<int> runs(0);
        {
            FnThread thread([&](FnThread& self) {
                while (self.ShouldRun()) {
                    self.Wait();
                }
                ++runs;
            });
            ASSERT_TRUE(thread.Start(true));
        }
        EXPECT_EQ(1, runs.load());
    }
}

TEST(ThreadTest, NewThreadHasEveryCatchableSignalBlocked)
{
    sigset_t before;
    sigset_t after;
    sigset_t inThread;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    std::promise<void> recorded;
    std::future<void> recordedReport = recorded.get_future();
    FnThread thread([&](FnThread&) {
        pthread_sigmask(SIG_SETMASK, nullptr, &inThread);
        recorded.set_value();
    });
    ASSERT_TRUE(thread.Start(true));
    ASSERT_TRUE(Reported(recordedReport));
    for (int sig : {SIGALRM, SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGPIPE, SIGUSR1, SIGUSR2}) {
        EXPECT_TRUE(sigismember(&inThread, sig)) << "signal " << sig;
    }
    pthread_sigmask(SIG_SETMASK, nullptr, &after);
    for (int sig = 1; sig < NSIG; ++sig) {
        EXPECT_EQ(sigismember(&before, sig), sigismember(&after, sig)) << "caller's mask changed for " << sig;
    }
}

} // namespace
