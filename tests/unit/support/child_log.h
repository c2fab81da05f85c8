// The log lines of a piece of a test run in a forked child (RunInChild).
// The child's own logger opens "../logs/quillmar.log" under the working
// directory it has when it first logs.
#ifndef TESTS_UNIT_SUPPORT_CHILD_LOG_H
#define TESTS_UNIT_SUPPORT_CHILD_LOG_H

#include <functional>
#include <string>
#include <vector>

// Runs body in a forked child, expects it to exit with 0 (gtest failures in
// it count), and gives the lines it appended to "../logs/quillmar.log", each
// without its time stamp: "[INFO]text".
std::vector<std::string> LinesLoggedInChild(const std::function<void()>& body);

#endif
