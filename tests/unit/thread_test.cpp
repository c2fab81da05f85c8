// The thread base: notification semantics, Stop, and the new thread's signal mask.
#include "common/thread.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>

namespace {

// Polls `done` until it holds, for at most ten seconds.
bool Eventually(const std::function<bool()>& done)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        usleep(200);
    }
    return true;
}

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
    FnThread gated([&](FnThread& self) {
        while (!release) {
            usleep(100);
        }
        self.Wait();
    });
    ASSERT_TRUE(gated.Start(true));
    gated.Notify();
    gated.Wait();  // from the test's thread: must neither block nor consume
    EXPECT_TRUE(gated.IsNotified());
    release = true;
    ASSERT_TRUE(Eventually([&] { return !gated.IsRunning(); }));
    EXPECT_TRUE(gated.IsWaiting());
}

TEST(ThreadTest, NotificationsBeforeAWaitCountAsOne)
{
    std::atomic<bool> release(false);
    std::atomic<bool> firstWake(false);
    std::atomic<bool> pendingAfterWake(true);
    FnThread thread([&](FnThread& self) {
        while (!release) {
            usleep(100);
        }
        self.Wait();  // returns at once: notifications are pending
        pendingAfterWake = self.IsNotified();
        firstWake = true;
        while (self.ShouldRun()) {
            self.Wait();
        }
    });
    ASSERT_TRUE(thread.Start(true));
    thread.Notify();
    thread.Notify();
    thread.Notify();
    release = true;
    ASSERT_TRUE(Eventually([&] { return firstWake.load(); }));
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

    FnThread finished([](FnThread&) {});
    ASSERT_TRUE(finished.Start(true));
    ASSERT_TRUE(Eventually([&] { return !finished.IsRunning(); }));
    finished.Stop();
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
    std::atomic<bool> recorded(false);
    FnThread thread([&](FnThread&) {
        pthread_sigmask(SIG_SETMASK, nullptr, &inThread);
        recorded = true;
    });
    ASSERT_TRUE(thread.Start(true));
    ASSERT_TRUE(Eventually([&] { return recorded.load(); }));
    for (int sig : {SIGALRM, SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGPIPE, SIGUSR1, SIGUSR2}) {
        EXPECT_TRUE(sigismember(&inThread, sig)) << "signal " << sig;
    }
    pthread_sigmask(SIG_SETMASK, nullptr, &after);
    for (int sig = 1; sig < NSIG; ++sig) {
        EXPECT_EQ(sigismember(&before, sig), sigismember(&after, sig)) << "caller's mask changed for " << sig;
    }
}

} // namespace
