#include "support/log_tail.h"

#include <fstream>
#include <sstream>

#include "common/logger.h"

namespace {

const char* const kLogPath = "../logs/quillmar.log";

std::string ReadLog()
{
    Common::CLogger::GetInstance()->Flush(2000);
    std::ifstream in(kLogPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

LogTail::LogTail() : m_offset(ReadLog().size()) {}

std::vector<std::string> LogTail::Lines() const
{
    const std::string log = ReadLog();
    std::vector<std::string> lines;
    std::istringstream in(log.size() > m_offset ? log.substr(m_offset) : std::string());
    std::string line;
    while (std::getline(in, line)) {
        // "[YYYY-MM-DD hh:mm:ss]" comes first.
        const size_t stamp = line.find(']');
        lines.push_back(stamp == std::string::npos ? line : line.substr(stamp + 1));
    }
    return lines;
}
