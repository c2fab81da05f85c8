// Runs a piece of a test in a forked child, so that the process-wide caches
// it fills (identity lookups, held settings) start empty and die with it.
#ifndef TESTS_UNIT_SUPPORT_FORKED_CHILD_H
#define TESTS_UNIT_SUPPORT_FORKED_CHILD_H

#include <functional>

// The child's exit status, or -1 when it did not exit normally. body may end
// the process itself; when it returns, the child exits with 0, or with
// kChildAssertionFailed when a gtest assertion failed in it (the failure is
// printed by the child as usual). The child's log lines have reached the log
// file when this returns. The calling process must not have the process-wide
// logger (the child's first line creates one of its own): the call fails the
// test instead of forking when it has.
int RunInChild(const std::function<void()>& body);

constexpr int kChildAssertionFailed = 99;

#endif
