#include "support/child_log.h"

#include <sstream>

#include <gtest/gtest.h>

#include "support/file_checks.h"
#include "support/forked_child.h"

namespace {

const char* const kLogPath = "../logs/quillmar.log";

std::string ReadLog()
{
    return ReadFileBytes(kLogPath);
}

} // namespace

std::vector<std::string> LinesLoggedInChild(const std::function<void()>& body)
{
    const size_t before = ReadLog().size();
    EXPECT_EQ(RunInChild(body), 0);
    std::istringstream added(ReadLog().substr(before));
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(added, line)) {
        // "[YYYY-MM-DD HH:MM:SS]" comes first.
        const size_t date = line.find(']');
        lines.push_back(date == std::string::npos ? line : line.substr(date + 1));
    }
    return lines;
}
