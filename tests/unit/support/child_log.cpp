#include "support/child_log.h"

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "support/forked_child.h"

namespace {

const char* const kLogPath = "../logs/quillmar.log";

std::string ReadLog()
{
    std::ifstream in(kLogPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
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
